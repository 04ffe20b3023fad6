#include "log_buffer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <mutex>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "process_ids.h"
#include "root_path.h"
#include "spin_lock.h"

namespace xkt::host {

// ---- The shared layouts ------------------------------------------------------
//
// Offsets in a ring count bytes written since the file was made and never
// wrap, so "head - tail" is always the bytes in use. A lane's index lives
// twice: a writer fills the slot not in use and then flips `current`, a
// single aligned store, so a writer killed at any point leaves one whole
// index.

struct RingState {
    uint64_t head;      // offset where the next entry goes
    uint64_t tail;      // offset of the oldest entry
    uint64_t firstSeq;  // sequence number of the entry at tail
    uint64_t nextSeq;   // sequence number the next entry gets
    uint64_t clearSeq;  // entries below it were flushed, not lost
};

struct BufferHeader {
    uint32_t magic;
    uint32_t version;
    uint64_t capacity;  // of each lane
    uint32_t lanes;
    uint8_t reserved[44];
};

// Writers on several cores meet on a lane's lock. It has a cache line of its
// own, so a waiter spinning on it does not steal the line the holder is
// committing the index to.
struct LaneHeader {
    SharedLockWord lock;
    uint8_t pad0[60];
    std::atomic<uint32_t> current;
    // Entries written so far (wrapping): a reader that emptied the lane
    // looks here, without the lock, to see whether anything came since.
    std::atomic<uint32_t> writes;
    RingState states[2];
    uint64_t lostTotal;  // entries readers lost in this lane
    uint8_t pad2[32];
};

namespace {

constexpr uint32_t kRingMagic = 0x424c4b58;  // "XKLB"
constexpr uint32_t kRingVersion = 3;

// The same file is mapped by 32- and 64-bit processes alike.
static_assert(sizeof(RingState) == 40 && sizeof(BufferHeader) == 64);
static_assert(sizeof(LaneHeader) == kLaneHeaderSize &&
              offsetof(LaneHeader, current) == kLaneIndexOffset &&
              offsetof(LaneHeader, states) == kLaneIndexOffset + 8 &&
              offsetof(LaneHeader, lostTotal) == kLaneIndexOffset + 88);

// One word for all buffers of a root: a reader can wait for several buffers
// with one futex. Each process that ever slept has a slot with its share of
// the sleepers, so the share of a process killed in its sleep can be taken
// back; otherwise every later write would pay for a futex call. Beside it,
// how many live threads write into each lane, for placing new writers.
constexpr uint32_t kWakeMagic = 0x574b4c58;  // "XLKW"
constexpr uint32_t kWakeVersion = 2;
constexpr size_t kWakeSlots = 128;
constexpr int kSweepIntervalMs = 2000;

struct WakeSlot {
    std::atomic<uint32_t> pid;
    std::atomic<uint32_t> count;
};

struct WakeArea {
    uint32_t magic;
    uint32_t version;
    std::atomic<uint32_t> sequence;  // the futex word
    std::atomic<uint32_t> sleepers;
    SharedLockWord lock;  // guards claiming and sweeping slots
    uint32_t reserved;
    WakeSlot slots[kWakeSlots];
    // A hint only: a writer killed outright never gives its place back.
    std::atomic<uint32_t> laneWriters[kLogLanes];
};
static_assert(offsetof(WakeArea, slots) == 24 && sizeof(WakeSlot) == 8 &&
              offsetof(WakeArea, laneWriters) == 24 + 8 * kWakeSlots);

constexpr std::array<std::string_view, kLogIdCount> kLogNames = {"main", "radio", "events",
                                                                 "system"};

std::atomic<LogBuffer::WriteHook> writeHook{nullptr};

inline void reachStage(LogBuffer::WriteStage stage) {
    if (auto hook = writeHook.load(std::memory_order_relaxed); hook != nullptr) hook(stage);
}

void putLe16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

void putLe32(uint8_t* out, int32_t value) {
    auto bits = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(bits >> (8 * i));
}

uint16_t getLe16(const uint8_t* in) {
    return static_cast<uint16_t>(in[0] | (static_cast<uint16_t>(in[1]) << 8));
}

int32_t getLe32(const uint8_t* in) {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits |= static_cast<uint32_t>(in[i]) << (8 * i);
    return static_cast<int32_t>(bits);
}

uint64_t configuredCapacity() {
    const char* env = std::getenv("XKT_LOG_BUFFER_SIZE");
    if (env == nullptr || *env == '\0') return LogBuffer::kDefaultCapacity;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(env, &end, 10);
    if (errno != 0 || end == env || *end != '\0') {
        std::fprintf(stderr, "xktlog: XKT_LOG_BUFFER_SIZE=%s is not a number of bytes\n", env);
        return LogBuffer::kDefaultCapacity;
    }
    return std::clamp<uint64_t>(value, LogBuffer::kMinCapacity, LogBuffer::kMaxCapacity);
}

bool stateIsSane(const RingState& s, uint64_t capacity) {
    return s.tail <= s.head && s.head - s.tail <= capacity && s.firstSeq <= s.nextSeq &&
           s.clearSeq <= s.firstSeq &&
           s.nextSeq - s.firstSeq <= (s.head - s.tail) / kEntryHeaderSize;
}

SharedFileFormat ringFormat() {
    uint64_t capacity = configuredCapacity();
    SharedFileFormat format;
    format.createSize = static_cast<size_t>(kBufferHeaderSize + kLogLanes * capacity);
    format.init = [capacity](void* base, size_t) {
        auto* header = static_cast<BufferHeader*>(base);
        header->magic = kRingMagic;
        header->version = kRingVersion;
        header->capacity = capacity;
        header->lanes = kLogLanes;
    };
    // The indexes are checked under the locks on every use; here only what
    // decides the file's extent, so a live buffer is never thrown away.
    format.valid = [](const void* base, size_t size) {
        if (size < kBufferHeaderSize) return false;
        const auto* header = static_cast<const BufferHeader*>(base);
        return header->magic == kRingMagic && header->version == kRingVersion &&
               header->lanes == kLogLanes && header->capacity >= LogBuffer::kMinCapacity &&
               header->capacity <= LogBuffer::kMaxCapacity &&
               header->capacity * kLogLanes == size - kBufferHeaderSize;
    };
    return format;
}

// ---- Futex and the wake area -----------------------------------------------

long futexCall(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
    // Not FUTEX_PRIVATE_FLAG: the word is shared with other processes.
#if defined(SYS_futex_time64)
    if (sizeof(timeout->tv_sec) > sizeof(long)) {
        return syscall(SYS_futex_time64, word, op, value, timeout, nullptr, 0);
    }
#endif
    return syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

void wakeSleepers(WakeArea& wake) {
    wake.sequence.fetch_add(1, std::memory_order_release);
    futexCall(&wake.sequence, FUTEX_WAKE, INT_MAX, nullptr);
}

SharedFileFormat wakeFormat() {
    SharedFileFormat format;
    format.createSize = sizeof(WakeArea);
    format.init = [](void* base, size_t) {
        auto* wake = static_cast<WakeArea*>(base);
        wake->magic = kWakeMagic;
        wake->version = kWakeVersion;
    };
    format.valid = [](const void* base, size_t size) {
        const auto* wake = static_cast<const WakeArea*>(base);
        return size == sizeof(WakeArea) && wake->magic == kWakeMagic &&
               wake->version == kWakeVersion;
    };
    return format;
}

std::mutex mapMutex;  // serialises first mappings in this process

WakeArea* wakeArea() {
    static std::atomic<WakeArea*> area{nullptr};
    if (WakeArea* mapped = area.load(std::memory_order_acquire); mapped != nullptr) return mapped;
    std::lock_guard<std::mutex> lock(mapMutex);
    if (WakeArea* mapped = area.load(std::memory_order_relaxed); mapped != nullptr) return mapped;
    auto file = std::make_unique<SharedFile>();
    std::string error;
    if (!file->open(rootedPath("/dev/log/.wake"), wakeFormat(), error)) {
        static std::once_flag reported;
        std::call_once(reported, [&] { std::fprintf(stderr, "xktlog: %s\n", error.c_str()); });
        return nullptr;
    }
    // Mapped for the life of the process. An atomic, so the store that keeps
    // the object reachable is never optimised away (leak checkers see it).
    static std::atomic<SharedFile*> kept{nullptr};
    kept.store(file.release(), std::memory_order_relaxed);
    auto* mapped = static_cast<WakeArea*>(kept.load(std::memory_order_relaxed)->base());
    area.store(mapped, std::memory_order_release);
    return mapped;
}

int64_t monotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int64_t monotonicMs() { return monotonicUs() / 1000; }

bool processIsGone(uint32_t pid) {
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Takes back the sleeper shares of processes that died asleep. With
// `self`, also the share of an earlier process that had our pid, which can
// only be stale: this process has not claimed a slot yet.
void sweepSlots(WakeArea& wake, uint32_t self) {
    for (WakeSlot& slot : wake.slots) {
        uint32_t pid = slot.pid.load(std::memory_order_relaxed);
        if (pid == 0 || (pid != self && !processIsGone(pid))) continue;
        wake.sleepers.fetch_sub(slot.count.exchange(0), std::memory_order_relaxed);
        slot.pid.store(0, std::memory_order_relaxed);
    }
}

std::mutex slotMutex;
uint32_t slotOwner = 0;  // the pid that claimed slotIndex (differs after fork)
size_t slotIndex = kWakeSlots;

WakeSlot* ownSlot(WakeArea& wake) {
    const auto self = static_cast<uint32_t>(currentPid());
    std::lock_guard<std::mutex> lock(slotMutex);
    if (slotOwner == self) return slotIndex < kWakeSlots ? &wake.slots[slotIndex] : nullptr;
    SharedLockGuard guard(wake.lock);
    sweepSlots(wake, self);
    slotOwner = self;
    slotIndex = kWakeSlots;
    for (size_t i = 0; i < kWakeSlots; ++i) {
        if (wake.slots[i].pid.load(std::memory_order_relaxed) == 0) {
            wake.slots[i].pid.store(self, std::memory_order_relaxed);
            slotIndex = i;
            return &wake.slots[i];
        }
    }
    return nullptr;  // all taken by live processes: sleep without a slot
}

void sweepNowAndThen(WakeArea& wake) {
    static std::atomic<int64_t> lastSweep{0};
    int64_t nowMs = monotonicMs();
    int64_t last = lastSweep.load(std::memory_order_relaxed);
    if (nowMs - last < kSweepIntervalMs ||
        !lastSweep.compare_exchange_strong(last, nowMs, std::memory_order_relaxed)) {
        return;
    }
    SharedLockGuard guard(wake.lock);
    sweepSlots(wake, 0);
}

// Counts the caller among the sleepers for its lifetime. The count goes up
// before the caller looks for entries (a lane's lock or its write count)
// and a writer reads it after publishing and counting its entry, so either
// the caller sees the entry or the writer sees the sleeper.
class SleeperRegistration {
public:
    explicit SleeperRegistration(WakeArea& wake) : wake_(wake), slot_(ownSlot(wake)) {
        wake_.sleepers.fetch_add(1, std::memory_order_seq_cst);
        if (slot_ != nullptr) slot_->count.fetch_add(1, std::memory_order_seq_cst);
    }
    ~SleeperRegistration() {
        if (slot_ != nullptr) slot_->count.fetch_sub(1, std::memory_order_seq_cst);
        wake_.sleepers.fetch_sub(1, std::memory_order_seq_cst);
    }
    SleeperRegistration(const SleeperRegistration&) = delete;
    SleeperRegistration& operator=(const SleeperRegistration&) = delete;

private:
    WakeArea& wake_;
    WakeSlot* slot_;
};

timespec fromMs(int64_t ms) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
    return ts;
}

}  // namespace

// ---- Names and entry layout ----------------------------------------------------

std::string_view logIdName(LogId id) {
    auto index = static_cast<size_t>(id);
    return index < kLogNames.size() ? kLogNames[index] : std::string_view("?");
}

std::optional<LogId> logIdFromName(std::string_view name) {
    for (size_t i = 0; i < kLogNames.size(); ++i) {
        if (kLogNames[i] == name) return static_cast<LogId>(i);
    }
    return std::nullopt;
}

void encodeEntryHeader(const LogEntryHeader& header, uint8_t out[kEntryHeaderSize]) {
    putLe16(out, header.payloadLength);
    putLe16(out + 2, header.padding);
    putLe32(out + 4, header.pid);
    putLe32(out + 8, header.tid);
    putLe32(out + 12, header.seconds);
    putLe32(out + 16, header.nanoseconds);
}

LogEntryHeader decodeEntryHeader(const uint8_t in[kEntryHeaderSize]) {
    LogEntryHeader header;
    header.payloadLength = getLe16(in);
    header.padding = getLe16(in + 2);
    header.pid = getLe32(in + 4);
    header.tid = getLe32(in + 8);
    header.seconds = getLe32(in + 12);
    header.nanoseconds = getLe32(in + 16);
    return header;
}

bool parseLogEntry(const uint8_t* entry, size_t size, LogEntryView& view) {
    if (size < kEntryHeaderSize) return false;
    view.header = decodeEntryHeader(entry);
    size_t length = view.header.payloadLength;
    if (length == 0 || length > size - kEntryHeaderSize) return false;
    std::string_view payload(reinterpret_cast<const char*>(entry + kEntryHeaderSize), length);
    view.priority = static_cast<uint8_t>(payload[0]);
    payload.remove_prefix(1);
    size_t end = payload.find('\0');
    view.tag = payload.substr(0, end);
    payload.remove_prefix(end == std::string_view::npos ? payload.size() : end + 1);
    view.message = payload.substr(0, payload.find('\0'));
    return true;
}

LogOrigin currentOrigin() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    LogOrigin origin;
    origin.pid = currentPid();
    origin.tid = currentTid();
    origin.seconds = static_cast<int32_t>(now.tv_sec);
    origin.nanoseconds = static_cast<int32_t>(now.tv_nsec);
    return origin;
}

// ---- LogBuffer -------------------------------------------------------------------

LogBuffer* LogBuffer::get(LogId id) {
    static std::array<std::atomic<LogBuffer*>, kLogIdCount> buffers{};
    auto index = static_cast<size_t>(id);
    if (index >= kLogIdCount) {
        errno = EINVAL;
        return nullptr;
    }
    if (LogBuffer* mapped = buffers[index].load(std::memory_order_acquire)) return mapped;
    std::lock_guard<std::mutex> lock(mapMutex);
    if (LogBuffer* mapped = buffers[index].load(std::memory_order_relaxed)) return mapped;
    std::unique_ptr<LogBuffer> buffer(new LogBuffer(id));
    std::string error;
    if (!buffer->open(error)) {
        static std::once_flag reported;
        std::call_once(reported, [&] { std::fprintf(stderr, "xktlog: %s\n", error.c_str()); });
        errno = ENODEV;
        return nullptr;
    }
    buffers[index].store(buffer.get(), std::memory_order_release);
    return buffer.release();  // kept for the life of the process
}

size_t laneHeaderOffset(size_t lane) { return sizeof(BufferHeader) + lane * kLaneHeaderSize; }

namespace {

// A thread keeps to one lane, so its entries stay in the order it wrote
// them. It takes the lane with the fewest live writers of the whole root,
// so that writers on different cores seldom share one, and gives its place
// back when it ends.
class LaneSeat {
public:
    ~LaneSeat() { leave(); }

    size_t lane(WakeArea* wake) {
        const int32_t tid = currentTid();
        if (tid != tid_) take(wake, tid);
        return lane_;
    }

private:
    void take(WakeArea* wake, int32_t tid) {
        leave();
        tid_ = tid;
        wake_ = wake;
        if (wake == nullptr) {
            lane_ = static_cast<uint32_t>(tid) % kLogLanes;
            return;
        }
        // Claimed only if its count is still the one that made it the
        // emptiest: threads starting together end up in different lanes.
        for (;;) {
            uint32_t fewest = wake->laneWriters[0].load(std::memory_order_relaxed);
            lane_ = 0;
            for (size_t i = 1; i < kLogLanes; ++i) {
                const uint32_t writers = wake->laneWriters[i].load(std::memory_order_relaxed);
                if (writers < fewest) {
                    fewest = writers;
                    lane_ = i;
                }
            }
            if (wake->laneWriters[lane_].compare_exchange_weak(fewest, fewest + 1,
                                                               std::memory_order_relaxed)) {
                return;
            }
        }
    }

    // Only the thread that took the seat gives it back: a child after fork
    // holds a copy of its parent thread's.
    void leave() {
        if (wake_ != nullptr && tid_ == currentTid()) {
            wake_->laneWriters[lane_].fetch_sub(1, std::memory_order_relaxed);
        }
        wake_ = nullptr;
    }

    int32_t tid_ = 0;
    WakeArea* wake_ = nullptr;
    size_t lane_ = 0;
};

// Initial-exec: read on every log write; the platform library is linked, not loaded late.
__attribute__((tls_model("initial-exec"))) thread_local LaneSeat t_laneSeat;

// The locks of the chosen lanes, taken in lane order (the only order anyone
// takes more than one), for a reader that merges them.
class LanesGuard {
public:
    template <typename Lanes>
    LanesGuard(Lanes& lanes, const std::array<bool, kLogLanes>& chosen) {
        for (size_t i = 0; i < kLogLanes; ++i) {
            if (!chosen[i]) continue;
            words_[i] = &lanes[i].header->lock;
            recovered_[i] = lockShared(*words_[i]);
        }
    }
    ~LanesGuard() {
        for (size_t i = kLogLanes; i-- > 0;) {
            if (words_[i] != nullptr) unlockShared(*words_[i]);
        }
    }
    LanesGuard(const LanesGuard&) = delete;
    LanesGuard& operator=(const LanesGuard&) = delete;

    bool recovered(size_t lane) const { return recovered_[lane]; }

private:
    std::array<SharedLockWord*, kLogLanes> words_{};
    std::array<bool, kLogLanes> recovered_{};
};

}  // namespace

bool LogBuffer::open(std::string& error) {
    path_ = rootedPath("/dev/log/") + std::string(name());
    if (!file_.open(path_, ringFormat(), error)) return false;
    auto* base = static_cast<uint8_t*>(file_.base());
    capacity_ = static_cast<size_t>(reinterpret_cast<BufferHeader*>(base)->capacity);
    for (size_t i = 0; i < kLogLanes; ++i) {
        lanes_[i].header = reinterpret_cast<LaneHeader*>(base + laneHeaderOffset(i));
        lanes_[i].data = base + kBufferHeaderSize + i * capacity_;
    }
    return true;
}

void LogBuffer::setWriteHookForTest(WriteHook hook) {
    writeHook.store(hook, std::memory_order_relaxed);
}

// The index as the lock holder may use it. A damaged one (another program
// wrote into the file) is replaced by an empty ring rather than trusted.
RingState LogBuffer::lockedState(Lane& lane, bool recovered) {
    RingState state = lane.header->states[lane.header->current.load(std::memory_order_relaxed) & 1];
    if (stateIsSane(state, capacity_)) return state;
    if (!recovered) std::fprintf(stderr, "xktlog: %s: damaged index, emptied\n", path_.c_str());
    // Offsets start again from 0; a reader past the new head starts over.
    uint64_t next = std::max(state.nextSeq, state.firstSeq);
    state = RingState{0, 0, next, next, next};
    commit(lane, state);
    return state;
}

RingState LogBuffer::readerState(Lane& lane, bool recovered) {
    // lockedState, with its call spared for a sound index: a reader polls
    // idle lanes for every entry of a busy one.
    const LaneHeader& header = *lane.header;
    const RingState& state = header.states[header.current.load(std::memory_order_relaxed) & 1];
    return stateIsSane(state, capacity_) ? state : lockedState(lane, recovered);
}

void LogBuffer::commit(Lane& lane, const RingState& state) {
    uint32_t spare = (lane.header->current.load(std::memory_order_relaxed) & 1) ^ 1;
    lane.header->states[spare] = state;
    lane.header->current.store(spare, std::memory_order_release);
}

size_t LogBuffer::put(Lane& lane, size_t pos, const void* src, size_t size) {
    if (size == 0) return pos;  // src may be null then
    size_t first = std::min(size, capacity_ - pos);
    std::memcpy(lane.data + pos, src, first);
    if (first < size) {
        std::memcpy(lane.data, static_cast<const uint8_t*>(src) + first, size - first);
        return size - first;
    }
    pos += first;
    return pos == capacity_ ? 0 : pos;
}

void LogBuffer::takeAt(const Lane& lane, size_t pos, void* dst, size_t size) const {
    size_t first = std::min(size, capacity_ - pos);
    std::memcpy(dst, lane.data + pos, first);
    if (first < size) std::memcpy(static_cast<uint8_t*>(dst) + first, lane.data, size - first);
}

// The head's place in the ring. A 64-bit division costs more than the rest
// of a write (a library call on 32-bit machines), and this process's last
// write into the lane usually left the head where it is.
size_t LogBuffer::headPosition(Lane& lane, uint64_t head) const {
    return lane.head == head ? lane.headPos : static_cast<size_t>(head % capacity_);
}

bool LogBuffer::entrySizeAt(const Lane& lane, const RingState& state, uint64_t offset,
                            uint64_t& size) const {
    return entrySizeAt(lane, state, offset, static_cast<size_t>(offset % capacity_), size);
}

bool LogBuffer::entrySizeAt(const Lane& lane, const RingState& state, uint64_t offset,
                            size_t pos, uint64_t& size) const {
    if (offset < state.tail || state.head - offset < kEntryHeaderSize) return false;
    uint8_t raw[kEntryHeaderSize];
    takeAt(lane, pos, raw, sizeof raw);
    uint16_t length = getLe16(raw);
    if (length == 0 || length > kMaxPayload || state.head - offset < kEntryHeaderSize + length) {
        return false;
    }
    size = kEntryHeaderSize + length;
    return true;
}

void LogBuffer::dropOldest(Lane& lane, RingState& state, uint64_t need) {
    while (state.head - state.tail + need > capacity_) {
        uint64_t size = 0;
        if (!entrySizeAt(lane, state, state.tail, size)) {
            state.tail = state.head;  // damaged entries: give up the lot
            state.firstSeq = state.nextSeq;
            return;
        }
        state.tail += size;
        ++state.firstSeq;
    }
}

int LogBuffer::write(int priority, std::string_view tag, std::string_view message) {
    return write(currentOrigin(), priority, tag, message);
}

int LogBuffer::write(const LogOrigin& origin, int priority, std::string_view tag,
                     std::string_view message) {
    tag = tag.substr(0, kMaxPayload - 3);
    message = message.substr(0, kMaxPayload - 3 - tag.size());
    const size_t payload = 3 + tag.size() + message.size();
    uint8_t head[kEntryHeaderSize + 1];
    LogEntryHeader header;
    header.payloadLength = static_cast<uint16_t>(payload);
    header.pid = origin.pid;
    header.tid = origin.tid;
    header.seconds = origin.seconds;
    header.nanoseconds = origin.nanoseconds;
    encodeEntryHeader(header, head);
    head[kEntryHeaderSize] = static_cast<uint8_t>(priority);
    const uint64_t need = kEntryHeaderSize + payload;
    static constexpr char nul = '\0';

    bool wake = false;
    WakeArea* wakeWord = wakeArea();
    Lane& lane = lanes_[t_laneSeat.lane(wakeWord)];
    {
        SharedLockGuard guard(lane.header->lock);
        RingState state = lockedState(lane, guard.recovered());
        // The dropped entries go first, in an index of their own: the copy
        // below overwrites their bytes.
        if (state.head - state.tail + need > capacity_) {
            // A full ring frees a slice at once: finding where the oldest
            // entry ends means reading bytes written long ago (a cache miss
            // each), which writers then pay once a slice, not once a write.
            dropOldest(lane, state, std::min<uint64_t>(need + capacity_ / 32, capacity_));
            commit(lane, state);
            reachStage(WriteStage::OldestDropped);
        }
        size_t pos = headPosition(lane, state.head);
        pos = put(lane, pos, head, sizeof head);
        pos = put(lane, pos, tag.data(), tag.size());
        pos = put(lane, pos, &nul, 1);
        reachStage(WriteStage::HalfCopied);
        pos = put(lane, pos, message.data(), message.size());
        pos = put(lane, pos, &nul, 1);
        reachStage(WriteStage::Copied);
        state.head += need;
        lane.head = state.head;
        lane.headPos = pos;
        ++state.nextSeq;
        commit(lane, state);
        // The count goes up before the sleepers are looked at, and a sleeper
        // registers before it looks at the count (both in one total order),
        // so either the writer sees the sleeper or the sleeper the entry.
        lane.header->writes.fetch_add(1, std::memory_order_seq_cst);
        wake = wakeWord != nullptr && wakeWord->sleepers.load(std::memory_order_seq_cst) != 0;
    }
    if (wake) wakeSleepers(*wakeWord);
    return static_cast<int>(payload);
}

void LogBuffer::clear() {
    for (Lane& lane : lanes_) {
        SharedLockGuard guard(lane.header->lock);
        RingState state = lockedState(lane, guard.recovered());
        state.tail = state.head;
        state.firstSeq = state.nextSeq;
        state.clearSeq = state.nextSeq;
        commit(lane, state);
    }
}

LogBufferStats LogBuffer::stats() {
    LogBufferStats stats;
    stats.capacity = capacity_;
    for (Lane& lane : lanes_) {
        SharedLockGuard guard(lane.header->lock);
        RingState state = lockedState(lane, guard.recovered());
        stats.used += state.head - state.tail;
        stats.entries += state.nextSeq - state.firstSeq;
        stats.lost += lane.header->lostTotal;
    }
    return stats;
}

// ---- LogReader -------------------------------------------------------------------

// The next entry of one lane: where it lies, how big it is and its time,
// by which the lanes are merged.
struct LogReader::Next {
    bool present = false;
    uint64_t size = 0;
    int64_t time = 0;
};

LogReader::LogReader(LogBuffer& buffer) : buffer_(&buffer) {
    for (size_t i = 0; i < kLogLanes; ++i) {
        LogBuffer::Lane& lane = buffer.lanes_[i];
        SharedLockGuard guard(lane.header->lock);
        RingState state = buffer.lockedState(lane, guard.recovered());
        cursors_[i].seq = state.firstSeq;
        cursors_[i].offset = state.tail;
    }
}

// Moves a lapped reader to the oldest entry still present, counting what
// was overwritten under it (what a flush took away is not a loss).
void LogReader::catchUp(LogBuffer::Lane& lane, Cursor& cursor, const RingState& state) {
    if (cursor.seq >= state.firstSeq && cursor.seq <= state.nextSeq &&
        cursor.offset >= state.tail && cursor.offset <= state.head) {
        return;
    }
    if (cursor.seq < state.firstSeq) {
        uint64_t from = std::max(cursor.seq, state.clearSeq);
        uint64_t lost = state.firstSeq > from ? state.firstSeq - from : 0;
        lost_ += lost;
        lane.header->lostTotal += lost;
    }
    cursor.seq = state.firstSeq;
    cursor.offset = state.tail;
}

bool LogReader::hasNews(size_t lane) const {
    const Cursor& cursor = cursors_[lane];
    return !cursor.drained ||
           buffer_->lanes_[lane].header->writes.load(std::memory_order_seq_cst) != cursor.drainedAt;
}

// Called under the lane's lock, once nothing is left to read there.
void LogReader::noteDrained(size_t lane) {
    cursors_[lane].drained = true;
    cursors_[lane].drainedAt =
        buffer_->lanes_[lane].header->writes.load(std::memory_order_relaxed);
}

bool LogReader::hasUnread() {
    for (size_t i = 0; i < kLogLanes; ++i) {
        if (!hasNews(i)) continue;
        LogBuffer::Lane& lane = buffer_->lanes_[i];
        SharedLockGuard guard(lane.header->lock);
        RingState state = buffer_->readerState(lane, guard.recovered());
        catchUp(lane, cursors_[i], state);
        if (cursors_[i].seq < std::min(state.nextSeq, cursors_[i].end)) return true;
        noteDrained(i);
    }
    return false;
}

void LogReader::stopAtCurrentEnd() {
    for (size_t i = 0; i < kLogLanes; ++i) {
        LogBuffer::Lane& lane = buffer_->lanes_[i];
        SharedLockGuard guard(lane.header->lock);
        cursors_[i].end = buffer_->lockedState(lane, guard.recovered()).nextSeq;
    }
}

size_t LogReader::ringPosition(Cursor& cursor) const {
    if (cursor.posOffset != cursor.offset) {
        cursor.pos = static_cast<size_t>(cursor.offset % buffer_->capacity_);
        cursor.posOffset = cursor.offset;
    }
    return cursor.pos;
}

int LogReader::read(void* out, size_t size) { return copyEntries(out, size, 1); }

int LogReader::readSome(void* out, size_t size) { return copyEntries(out, size, SIZE_MAX); }

// Looks at the lane's next unread entry. A damaged one (only a foreign write
// into the file gets there) ends what is read of the lane.
bool LogReader::peek(size_t lane, const RingState& state, Next& next) {
    Cursor& cursor = cursors_[lane];
    next.present = false;
    if (cursor.seq >= std::min(state.nextSeq, cursor.end)) return false;
    const LogBuffer::Lane& where = buffer_->lanes_[lane];
    const size_t pos = ringPosition(cursor);
    if (!buffer_->entrySizeAt(where, state, cursor.offset, pos, next.size)) {
        cursor.seq = state.nextSeq;
        cursor.offset = state.head;
        return false;
    }
    uint8_t raw[kEntryHeaderSize];
    buffer_->takeAt(where, pos, raw, sizeof raw);
    const LogEntryHeader header = decodeEntryHeader(raw);
    next.time = int64_t{header.seconds} * 1000000000 + header.nanoseconds;
    next.present = true;
    return true;
}

// Copies whole entries, the oldest of the lanes' next ones first, under the
// locks of the lanes that may have some, so that they cannot move while
// they are merged. An idle buffer costs a look at its lanes' counts: the log
// thread polls one for every entry of a busy one.
int LogReader::copyEntries(void* out, size_t size, size_t most) {
    std::array<bool, kLogLanes> chosen{};
    bool any = false;
    for (size_t i = 0; i < kLogLanes; ++i) any |= chosen[i] = hasNews(i);
    if (!any) return 0;
    LanesGuard guard(buffer_->lanes_, chosen);
    std::array<RingState, kLogLanes> states;
    std::array<Next, kLogLanes> next;
    for (size_t i = 0; i < kLogLanes; ++i) {
        if (!chosen[i]) continue;
        states[i] = buffer_->readerState(buffer_->lanes_[i], guard.recovered(i));
        catchUp(buffer_->lanes_[i], cursors_[i], states[i]);
        peek(i, states[i], next[i]);
    }
    size_t copied = 0;
    for (size_t taken = 0; taken < most; ++taken) {
        size_t lane = kLogLanes;
        for (size_t i = 0; i < kLogLanes; ++i) {
            if (next[i].present && (lane == kLogLanes || next[i].time < next[lane].time)) lane = i;
        }
        if (lane == kLogLanes) break;
        const uint64_t entrySize = next[lane].size;
        if (entrySize > size - copied) {
            if (copied == 0) return -EINVAL;
            break;
        }
        Cursor& cursor = cursors_[lane];
        buffer_->takeAt(buffer_->lanes_[lane], cursor.pos, static_cast<uint8_t*>(out) + copied,
                        static_cast<size_t>(entrySize));
        copied += static_cast<size_t>(entrySize);
        cursor.offset += entrySize;
        cursor.pos += static_cast<size_t>(entrySize);
        if (cursor.pos >= buffer_->capacity_) cursor.pos -= buffer_->capacity_;
        cursor.posOffset = cursor.offset;
        ++cursor.seq;
        peek(lane, states[lane], next[lane]);
    }
    for (size_t i = 0; i < kLogLanes; ++i) {
        if (chosen[i] && !next[i].present) noteDrained(i);
    }
    return static_cast<int>(copied);
}

// ---- Waiting -----------------------------------------------------------------------

namespace {

constexpr int64_t kNapUs = 200;
constexpr int64_t kBusyWaitUs = 1000;

// Whether this thread's last wait found entries within kBusyWaitUs: it
// reads behind a busy writer.
thread_local bool t_readerBehindWriter = false;

// Sleeps on the root's wake word until ready() holds, the deadline passes
// or a signal handler runs.
LogWaitResult sleepUntilReady(const std::function<bool()>& ready, int timeoutMs) {
    const int64_t deadline = timeoutMs < 0 ? INT64_MAX : monotonicMs() + timeoutMs;
    WakeArea* wake = wakeArea();
    for (;;) {
        int64_t remaining = deadline - monotonicMs();
        if (remaining <= 0) break;
        long rc = 0;
        if (wake == nullptr) {
            // No shared word to sleep on: poll.
            timespec step = fromMs(std::min<int64_t>(remaining, 10));
            rc = nanosleep(&step, nullptr);
        } else {
            SleeperRegistration registration(*wake);
            uint32_t sequence = wake->sequence.load(std::memory_order_seq_cst);
            if (ready()) return LogWaitResult::Ready;
            timespec step = fromMs(std::min<int64_t>(remaining, INT32_MAX));
            rc = futexCall(&wake->sequence, FUTEX_WAIT, sequence,
                           timeoutMs < 0 ? nullptr : &step);
        }
        bool interrupted = rc != 0 && errno == EINTR;
        if (ready()) return LogWaitResult::Ready;
        if (interrupted) return LogWaitResult::Interrupted;
    }
    if (wake != nullptr) sweepNowAndThen(*wake);
    return LogWaitResult::TimedOut;
}

}  // namespace

LogWaitResult waitForLogs(const std::function<bool()>& ready, int timeoutMs) {
    if (ready()) return LogWaitResult::Ready;
    const int64_t start = monotonicUs();
    // Behind a busy writer, a short nap lets the next entries gather, and the
    // writer is spared the system call that wakes a sleeper, which costs
    // more than the entry it wrote. An idle reader sleeps until woken.
    if (t_readerBehindWriter && timeoutMs != 0) {
        timespec nap{0, kNapUs * 1000};
        nanosleep(&nap, nullptr);
        if (ready()) return LogWaitResult::Ready;
    }
    const LogWaitResult result = sleepUntilReady(ready, timeoutMs);
    t_readerBehindWriter =
        result == LogWaitResult::Ready && monotonicUs() - start < kBusyWaitUs;
    return result;
}

bool waitForLogEntries(LogReader* const* readers, size_t count, int timeoutMs) {
    auto ready = [readers, count] {
        for (size_t i = 0; i < count; ++i) {
            if (readers[i] != nullptr && readers[i]->hasUnread()) return true;
        }
        return false;
    };
    return waitForLogs(ready, timeoutMs) == LogWaitResult::Ready;
}

LogWakeStats logWakeStats() {
    LogWakeStats stats;
    if (WakeArea* wake = wakeArea()) {
        stats.sequence = wake->sequence.load(std::memory_order_seq_cst);
        stats.sleepers = wake->sleepers.load(std::memory_order_seq_cst);
    }
    return stats;
}

}  // namespace xkt::host
