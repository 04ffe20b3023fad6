// System properties shared by every process under one box root.
//
// The store is a fixed table of slots in a shared file. A slot is claimed by
// hashing the name (linear probing); its name is written once and published
// with a release store, and the slot never moves, so a found slot is a
// pointer a caller may keep. Each slot holds two copies of its value: a
// writer fills the one not in use and publishes it by moving the slot's
// serial on, one store. Readers take no lock and never wait for a writer:
// they copy the published value and retry only when the serial moved while
// they copied. A writer that stops or dies half way has written only into
// the copy nobody reads. Writers are serialised across processes by one
// lock word, waited for a bounded time.
#include "property_store.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "root_path.h"
#include "shared_file.h"
#include "spin_lock.h"
#include "xkt_host_extras.h"

static_assert(xkt::host::kPropertyNameMax + 1 == XKT_PROP_NAME_MAX, "name size mismatch");
static_assert(xkt::host::kPropertyValueMax + 1 == XKT_PROP_VALUE_MAX, "value size mismatch");

namespace xkt::host {

namespace {

constexpr uint64_t kMagic = 0x31504f5250544b58ull;  // "XKTPROP1"
constexpr uint32_t kVersion = 2;
constexpr size_t kValueWords = (kPropertyValueMax + 1) / sizeof(uint64_t);
static_assert(kValueWords * sizeof(uint64_t) == kPropertyValueMax + 1);
// A write takes microseconds; a holder that keeps the lock this long does
// not run (stopped), or writers flood the store, and the write is refused
// rather than waited for.
constexpr int64_t kLockWaitUs = 200000;
// A reader that saw the serial move this often in a row reads under the
// lock: only a flood of writes (or a hostile process) gets there.
constexpr unsigned kReadAttempts = 1024;
constexpr int kLockedReadRounds = 10;

struct alignas(64) Slot {
    // Moves on by 2 with every write; (serial / 2) % 2 picks the copy in use.
    std::atomic<uint32_t> serial;
    std::atomic<uint32_t> published;  // 1 once name and first value are in place
    uint32_t nameHash;
    uint32_t reserved;
    std::atomic<uint32_t> length[2];  // of each copy, without the NUL
    char name[kPropertyNameMax + 1];
    uint64_t value[2][kValueWords];   // copied word by word, see loadWord()
};

struct alignas(64) Header {
    uint64_t magic;
    uint32_t version;
    uint32_t headerSize;
    uint32_t slotSize;
    uint32_t slotCount;
    SharedLockWord lock;
};

static_assert(offsetof(Header, lock) == kPropertyLockOffset);

struct Store {
    Header header;
    Slot slots[kPropertySlots];
};

static_assert(std::atomic<uint32_t>::is_always_lock_free, "slots are shared between processes");

// Writers and readers of one process may touch a copy at the same time (the
// serial then makes the reader retry), so values are copied with atomic
// word accesses. Release stores keep every word before the serial that
// publishes it; acquire loads keep the reader's second look at the serial
// behind every word. Both are plain moves on x86 and need no fences, which
// ThreadSanitizer does not follow.
inline uint64_t loadWord(const uint64_t* word) { return __atomic_load_n(word, __ATOMIC_ACQUIRE); }
inline void storeWord(uint64_t* word, uint64_t v) { __atomic_store_n(word, v, __ATOMIC_RELEASE); }

inline size_t copyInUse(uint32_t serial) { return (serial >> 1) & 1u; }

// FNV-1a over at most limit + 1 characters; length receives the name's length,
// limit + 1 when it is longer than limit.
uint32_t hashName(const char* name, size_t limit, size_t& length) {
    uint32_t hash = 2166136261u;
    size_t i = 0;
    for (; i <= limit && name[i] != '\0'; ++i) {
        hash = (hash ^ static_cast<unsigned char>(name[i])) * 16777619u;
    }
    length = i;
    return hash;
}

// ---- The mapping ----------------------------------------------------------

SharedFileFormat storeFormat() {
    SharedFileFormat format;
    format.createSize = sizeof(Store);
    format.init = [](void* base, size_t) {
        auto* header = static_cast<Header*>(base);
        header->magic = kMagic;
        header->version = kVersion;
        header->headerSize = sizeof(Header);
        header->slotSize = sizeof(Slot);
        header->slotCount = kPropertySlots;
    };
    format.valid = [](const void* base, size_t size) {
        if (size < sizeof(Store)) return false;
        const auto* header = static_cast<const Header*>(base);
        return header->magic == kMagic && header->version == kVersion &&
               header->headerSize == sizeof(Header) && header->slotSize == sizeof(Slot) &&
               header->slotCount == kPropertySlots;
    };
    return format;
}

std::atomic<SharedFile*> mappedFile{nullptr};
std::atomic<bool> reportedUnavailable{false};

// Maps the store once per process and keeps it for good: slots handed out by
// XKT_property_find must stay valid. Racing threads each map; one wins.
Store* store() {
    SharedFile* file = mappedFile.load(std::memory_order_acquire);
    if (file != nullptr) return static_cast<Store*>(file->base());

    auto* mine = new SharedFile;
    std::string error;
    if (!mine->open(propertyStorePath(), storeFormat(), error)) {
        delete mine;
        if (!reportedUnavailable.exchange(true)) {
            std::fprintf(stderr, "xktlog: property store unavailable: %s\n", error.c_str());
        }
        return nullptr;
    }
    if (!mappedFile.compare_exchange_strong(file, mine, std::memory_order_acq_rel)) {
        delete mine;
        return static_cast<Store*>(file->base());
    }
    return static_cast<Store*>(mine->base());
}

// ---- Values ----------------------------------------------------------------

// Only under the store's lock. Fills the copy not in use, then publishes it;
// with stopAfter, stops after that many bytes as a writer stopped half way.
void writeValue(Slot& slot, const char* value, size_t length, size_t stopAfter = SIZE_MAX) {
    const uint32_t next = slot.serial.load(std::memory_order_relaxed) + 2;
    const size_t copy = copyInUse(next);
    for (size_t offset = 0; offset <= length; offset += sizeof(uint64_t)) {
        if (offset >= stopAfter) return;
        uint64_t word = 0;
        std::memcpy(&word, value + offset, std::min(sizeof word, length + 1 - offset));
        storeWord(&slot.value[copy][offset / sizeof word], word);
    }
    slot.length[copy].store(static_cast<uint32_t>(length), std::memory_order_release);
    slot.serial.store(next, std::memory_order_release);
}

void copyOut(char* dest, const uint64_t* words, size_t count) {
    size_t whole = count / sizeof(uint64_t);
    for (size_t i = 0; i < whole; ++i) {
        uint64_t word = loadWord(&words[i]);
        std::memcpy(dest + i * sizeof word, &word, sizeof word);
    }
    if (size_t rest = count % sizeof(uint64_t); rest != 0) {
        uint64_t word = loadWord(&words[whole]);
        std::memcpy(dest + whole * sizeof word, &word, rest);
    }
}

// One copy of the published value; false when the serial moved meanwhile.
bool tryReadValue(const Slot& slot, char* dest, size_t size) {
    const uint32_t before = slot.serial.load(std::memory_order_acquire);
    const size_t copy = copyInUse(before);
    const size_t length =
        std::min<size_t>(slot.length[copy].load(std::memory_order_acquire), kPropertyValueMax);
    const size_t count = std::min(length, size - 1);
    copyOut(dest, slot.value[copy], count);
    dest[count] = '\0';
    return slot.serial.load(std::memory_order_relaxed) == before;
}

// Under the lock no writer moves the serial, so that read is whole. A
// reader that cannot get the lock either (its holder stopped while others
// flood the store) ends with an empty value rather than a torn one.
void readValue(const Slot& slot, char* dest, size_t size) {
    Store* st = store();
    for (int round = 0; round < kLockedReadRounds; ++round) {
        for (unsigned attempt = 0; attempt < kReadAttempts; ++attempt) {
            if (tryReadValue(slot, dest, size)) return;
        }
        if (st == nullptr) break;
        SharedLockGuard guard(st->header.lock, kLockWaitUs / kLockedReadRounds);
        if (guard.locked() && tryReadValue(slot, dest, size)) return;
    }
    dest[0] = '\0';
}

// ---- Slots -----------------------------------------------------------------

const Slot* lookup(const Store& st, const char* name, size_t length, uint32_t hash) {
    for (size_t probe = 0; probe < kPropertySlots; ++probe) {
        const Slot& slot = st.slots[(hash + probe) % kPropertySlots];
        if (slot.published.load(std::memory_order_acquire) == 0) return nullptr;
        if (slot.nameHash == hash && std::memcmp(slot.name, name, length + 1) == 0) return &slot;
    }
    return nullptr;
}

// Only under the store's lock: the slot holding name, or the free slot that
// should, or null when the store is full.
Slot* lookupForWrite(Store& st, const char* name, size_t length, uint32_t hash) {
    for (size_t probe = 0; probe < kPropertySlots; ++probe) {
        Slot& slot = st.slots[(hash + probe) % kPropertySlots];
        if (slot.published.load(std::memory_order_relaxed) == 0) return &slot;
        if (slot.nameHash == hash && std::memcmp(slot.name, name, length + 1) == 0) return &slot;
    }
    return nullptr;
}

const Slot* findSlot(const char* name) {
    if (name == nullptr) return nullptr;
    size_t length = 0;
    uint32_t hash = hashName(name, kPropertyNameMax, length);
    if (length == 0 || length > kPropertyNameMax) return nullptr;
    const Store* st = store();
    return st == nullptr ? nullptr : lookup(*st, name, length, hash);
}

// Accepts only pointers to a slot of this process's mapping.
const Slot* checkedSlot(const XKT_PropInfo* info) {
    const Store* st = store();
    if (info == nullptr || st == nullptr) return nullptr;
    auto address = reinterpret_cast<uintptr_t>(info);
    auto first = reinterpret_cast<uintptr_t>(&st->slots[0]);
    if (address < first || (address - first) % sizeof(Slot) != 0 ||
        (address - first) / sizeof(Slot) >= kPropertySlots) {
        return nullptr;
    }
    return &st->slots[(address - first) / sizeof(Slot)];
}

// Nobody reads an unpublished slot: a writer dying before the publishing
// store leaves a free slot.
void createNew(Slot& slot, const char* name, size_t nameLength, uint32_t hash,
               const char* value, size_t length) {
    std::memset(slot.name, 0, sizeof slot.name);
    std::memcpy(slot.name, name, nameLength);
    slot.nameHash = hash;
    writeValue(slot, value, length);
    slot.published.store(1, std::memory_order_release);
}

}  // namespace

std::string propertyStorePath() { return rootedPath("/dev/__properties__"); }

const char* describe(PropertyError error) {
    switch (error) {
        case PropertyError::none: return "no error";
        case PropertyError::badName: return "empty property name";
        case PropertyError::nameTooLong: return "name too long (at most 63 characters)";
        case PropertyError::badValue: return "no value";
        case PropertyError::valueTooLong: return "value too long (at most 1023 characters)";
        case PropertyError::storeFull: return "property store full";
        case PropertyError::unavailable: return "property store unavailable";
        case PropertyError::busy:
            return "property store busy (its lock is held by a process that does not run)";
    }
    return "unknown error";
}

PropertyError setProperty(const char* name, const char* value) {
    if (name == nullptr) return PropertyError::badName;
    if (value == nullptr) return PropertyError::badValue;
    size_t nameLength = 0;
    uint32_t hash = hashName(name, kPropertyNameMax, nameLength);
    if (nameLength == 0) return PropertyError::badName;
    if (nameLength > kPropertyNameMax) return PropertyError::nameTooLong;
    size_t length = strnlen(value, kPropertyValueMax + 1);
    if (length > kPropertyValueMax) return PropertyError::valueTooLong;
    Store* st = store();
    if (st == nullptr) return PropertyError::unavailable;

    // A lock taken over from a dead writer needs no repair: it wrote only
    // into a copy nobody reads.
    SharedLockGuard guard(st->header.lock, kLockWaitUs);
    if (!guard.locked()) return PropertyError::busy;
    Slot* slot = lookupForWrite(*st, name, nameLength, hash);
    if (slot == nullptr) return PropertyError::storeFull;
    if (slot->published.load(std::memory_order_relaxed) == 0) {
        createNew(*slot, name, nameLength, hash, value, length);
    } else {
        writeValue(*slot, value, length);
    }
    return PropertyError::none;
}

std::vector<Property> listProperties() {
    std::vector<Property> all;
    const Store* st = store();
    if (st == nullptr) return all;
    char value[kPropertyValueMax + 1];
    for (const Slot& slot : st->slots) {
        if (slot.published.load(std::memory_order_acquire) == 0) continue;
        readValue(slot, value, sizeof value);
        all.push_back({std::string(slot.name, strnlen(slot.name, sizeof slot.name)), value});
    }
    std::sort(all.begin(), all.end(),
              [](const Property& a, const Property& b) { return a.name < b.name; });
    return all;
}

namespace testing {

bool abandonWriteMidway(const char* name, const char* value, size_t bytes) {
    Store* st = store();
    size_t nameLength = 0;
    uint32_t hash = hashName(name, kPropertyNameMax, nameLength);
    if (st == nullptr || nameLength == 0 || nameLength > kPropertyNameMax) return false;
    size_t length = strnlen(value, kPropertyValueMax + 1);
    if (length > kPropertyValueMax) return false;
    if (lockShared(st->header.lock, kLockWaitUs) == LockResult::TimedOut) return false;
    Slot* slot = lookupForWrite(*st, name, nameLength, hash);
    if (slot == nullptr || slot->published.load(std::memory_order_relaxed) == 0) {
        unlockShared(st->header.lock);
        return false;
    }
    writeValue(*slot, value, length, bytes);
    return true;
}

}  // namespace testing

}  // namespace xkt::host

namespace {

using xkt::host::Slot;

// The C interface's opaque XKT_PropInfo is a slot of the table.
const XKT_PropInfo* asInfo(const Slot* slot) {
    return reinterpret_cast<const XKT_PropInfo*>(slot);
}

}  // namespace

extern "C" {

int32_t XKT_property_get(const char* name, char* value, uint32_t size) {
    if (value == nullptr || size == 0) return -1;
    value[0] = '\0';
    const Slot* slot = xkt::host::findSlot(name);
    if (slot == nullptr) return -1;
    xkt::host::readValue(*slot, value, size);
    return 0;
}

int32_t XKT_property_set(const char* name, const char* value) {
    return xkt::host::setProperty(name, value) == xkt::host::PropertyError::none ? 0 : -1;
}

const XKT_PropInfo* XKT_property_find(const char* name) {
    return asInfo(xkt::host::findSlot(name));
}

uint32_t XKT_property_serial(const XKT_PropInfo* info) {
    if (info == nullptr) return 0;
    return reinterpret_cast<const Slot*>(info)->serial.load(std::memory_order_acquire);
}

int32_t XKT_property_read(const XKT_PropInfo* info, char* value, uint32_t size) {
    if (value == nullptr || size == 0) return -1;
    value[0] = '\0';
    const Slot* slot = xkt::host::checkedSlot(info);
    if (slot == nullptr) return -1;
    xkt::host::readValue(*slot, value, size);
    return 0;
}

}  // extern "C"
