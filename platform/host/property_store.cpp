// System properties shared by every process under one box root.
//
// The store is a fixed table of slots in a shared file. A slot is claimed by
// hashing the name (linear probing); its name is written once and published
// with a release store, and the slot never moves, so a found slot is a
// pointer a caller may keep. Values are guarded by a sequence counter per
// slot, odd while a write is in progress: readers take no lock, copy the value
// and retry when the counter moved. Writers are serialised across processes by
// one lock word and leave a journal of the update in progress, so the next
// writer (or a reader tired of waiting) can finish the work of one that died.
#include "property_store.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sched.h>

#include "root_path.h"
#include "shared_file.h"
#include "spin_lock.h"
#include "xkt_osal.h"

static_assert(xkt::host::kPropertyNameMax + 1 == XKT_PROP_NAME_MAX, "name size mismatch");
static_assert(xkt::host::kPropertyValueMax + 1 == XKT_PROP_VALUE_MAX, "value size mismatch");

namespace xkt::host {

namespace {

constexpr uint64_t kMagic = 0x31504f5250544b58ull;  // "XKTPROP1"
constexpr uint32_t kVersion = 1;
constexpr size_t kValueWords = (kPropertyValueMax + 1) / sizeof(uint64_t);
static_assert(kValueWords * sizeof(uint64_t) == kPropertyValueMax + 1);

struct alignas(64) Slot {
    std::atomic<uint32_t> serial;     // odd while the value is being written
    std::atomic<uint32_t> length;     // of the value, without the NUL
    std::atomic<uint32_t> published;  // 1 once name and first value are in place
    uint32_t nameHash;
    char name[kPropertyNameMax + 1];
    uint64_t value[kValueWords];      // copied word by word, see loadWord()
};

struct alignas(64) Header {
    uint64_t magic;
    uint32_t version;
    uint32_t headerSize;
    uint32_t slotSize;
    uint32_t slotCount;
    SharedLockWord lock;
    // The update in progress: slot index + 1, 0 when none.
    std::atomic<uint32_t> pendingSlot;
    uint32_t pendingLength;
    char pendingValue[kPropertyValueMax + 1];
};

struct Store {
    Header header;
    Slot slots[kPropertySlots];
};

static_assert(std::atomic<uint32_t>::is_always_lock_free, "slots are shared between processes");

// Writers and readers of one process may touch a value at the same time (the
// sequence counter then makes the reader retry), so values are copied with
// atomic word accesses. Release stores keep every word behind the odd counter
// of its write; acquire loads keep the reader's second look at the counter
// behind every word. Both are plain moves on x86 and need no fences, which
// ThreadSanitizer does not follow.
inline uint64_t loadWord(const uint64_t* word) { return __atomic_load_n(word, __ATOMIC_ACQUIRE); }
inline void storeWord(uint64_t* word, uint64_t v) { __atomic_store_n(word, v, __ATOMIC_RELEASE); }

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
    asm volatile("yield");
#endif
}

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

// Only under the store's lock. Starting from an odd counter (left by a dead
// writer) ends on an even one as well.
void writeValue(Slot& slot, const char* value, size_t length, size_t stopAfter = SIZE_MAX) {
    uint32_t odd = slot.serial.load(std::memory_order_relaxed) | 1u;
    slot.serial.store(odd, std::memory_order_relaxed);
    for (size_t offset = 0; offset <= length; offset += sizeof(uint64_t)) {
        if (offset >= stopAfter) return;
        uint64_t word = 0;
        std::memcpy(&word, value + offset, std::min(sizeof word, length + 1 - offset));
        storeWord(&slot.value[offset / sizeof word], word);
    }
    slot.length.store(static_cast<uint32_t>(length), std::memory_order_release);
    slot.serial.store(odd + 1, std::memory_order_release);
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

// Only under the store's lock: finishes an update whose writer died and
// closes any counter left odd, so no reader waits for ever.
void repair(Store& st) {
    Header& header = st.header;
    uint32_t pending = header.pendingSlot.load(std::memory_order_acquire);
    if (pending != 0 && pending <= kPropertySlots) {
        size_t length = std::min<size_t>(header.pendingLength, kPropertyValueMax);
        header.pendingValue[length] = '\0';
        writeValue(st.slots[pending - 1], header.pendingValue, length);
    }
    header.pendingSlot.store(0, std::memory_order_release);
    for (Slot& slot : st.slots) {
        uint32_t serial = slot.serial.load(std::memory_order_relaxed);
        if ((serial & 1u) != 0) slot.serial.store(serial + 1, std::memory_order_release);
    }
}

// A counter that stays odd far longer than any write takes means its writer
// may be gone; taking the lock either waits for a live writer or takes over
// from a dead one, and repair() then closes the counter.
void waitForWriter(unsigned attempt) {
    constexpr unsigned kSpins = 1024;
    constexpr unsigned kYieldsBeforeRepair = 64;
    if (attempt % kSpins != kSpins - 1) {
        cpuRelax();
        return;
    }
    sched_yield();
    if ((attempt / kSpins) % kYieldsBeforeRepair != kYieldsBeforeRepair - 1) return;
    if (Store* st = store(); st != nullptr) {
        SharedLockGuard guard(st->header.lock);
        repair(*st);
    }
}

void readValue(const Slot& slot, char* dest, size_t size) {
    for (unsigned attempt = 0;; ++attempt) {
        uint32_t before = slot.serial.load(std::memory_order_acquire);
        if ((before & 1u) != 0) {
            waitForWriter(attempt);
            continue;
        }
        size_t length = std::min<size_t>(slot.length.load(std::memory_order_acquire),
                                         kPropertyValueMax);
        size_t count = std::min(length, size - 1);
        copyOut(dest, slot.value, count);
        if (slot.serial.load(std::memory_order_relaxed) == before) {
            dest[count] = '\0';
            return;
        }
    }
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

void updateExisting(Header& header, Slot& slot, size_t index, const char* value,
                    size_t length, size_t stopAfter = SIZE_MAX) {
    header.pendingLength = static_cast<uint32_t>(length);
    std::memcpy(header.pendingValue, value, length + 1);
    header.pendingSlot.store(static_cast<uint32_t>(index + 1), std::memory_order_release);
    writeValue(slot, value, length, stopAfter);
    if (stopAfter != SIZE_MAX) return;
    header.pendingSlot.store(0, std::memory_order_release);
}

// Nobody reads an unpublished slot, so a new property needs no journal: a
// writer dying before the publishing store leaves a free slot.
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

    SharedLockGuard guard(st->header.lock);
    if (guard.recovered() || st->header.pendingSlot.load(std::memory_order_relaxed) != 0) {
        repair(*st);
    }
    Slot* slot = lookupForWrite(*st, name, nameLength, hash);
    if (slot == nullptr) return PropertyError::storeFull;
    if (slot->published.load(std::memory_order_relaxed) == 0) {
        createNew(*slot, name, nameLength, hash, value, length);
    } else {
        updateExisting(st->header, *slot, static_cast<size_t>(slot - st->slots), value, length);
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
    lockShared(st->header.lock);
    Slot* slot = lookupForWrite(*st, name, nameLength, hash);
    if (slot == nullptr || slot->published.load(std::memory_order_relaxed) == 0) {
        unlockShared(st->header.lock);
        return false;
    }
    updateExisting(st->header, *slot, static_cast<size_t>(slot - st->slots), value, length, bytes);
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
