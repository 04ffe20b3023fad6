// The writing side of the log buffers: mapping a buffer file, placing each
// writing thread in a lane, and appending entries under the lane's lock.
#include "log_buffer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <sys/prctl.h>

#include "log_buffer_layout.h"
#include "log_wake.h"
#include "process_ids.h"
#include "root_path.h"

namespace xkt::host {

namespace {

std::atomic<LogBuffer::WriteHook> writeHook{nullptr};

inline void reachStage(LogBuffer::WriteStage stage) {
    if (auto hook = writeHook.load(std::memory_order_relaxed); hook != nullptr) hook(stage);
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
        header->readerSlots = kReaderSlots;
    };
    // The indexes are checked on every use; here only what decides the
    // file's extent, so a live buffer is never thrown away.
    format.valid = [](const void* base, size_t size) {
        if (size < kBufferHeaderSize) return false;
        const auto* header = static_cast<const BufferHeader*>(base);
        return header->magic == kRingMagic && header->version == kRingVersion &&
               header->lanes == kLogLanes && header->readerSlots == kReaderSlots &&
               header->capacity >= LogBuffer::kMinCapacity &&
               header->capacity <= LogBuffer::kMaxCapacity &&
               header->capacity * kLogLanes == size - kBufferHeaderSize;
    };
    return format;
}

// A thread keeps to one lane while it can. It takes the lane with the
// fewest live writers of the whole root, so that writers on different
// cores seldom share one, and gives its place back when it ends. It moves
// when its lane stays locked by a live owner, or when the lane is full of
// entries the log thread has yet to read; its next entry is then later than
// all it wrote before, and readers merge the lanes by time.
class LaneSeat {
public:
    ~LaneSeat() { leave(); }

    size_t lane(WakeArea* wake) {
        const int32_t tid = currentTid();
        if (tid != tid_) take(wake, tid);
        return lane_;
    }

    void moveTo(size_t lane) {
        if (wake_ != nullptr) {
            wake_->laneWriters[lane_].fetch_sub(1, std::memory_order_relaxed);
            wake_->laneWriters[lane].fetch_add(1, std::memory_order_relaxed);
        }
        lane_ = lane;
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

// After a look for a lane with room found none, a thread fills this many
// slices of its own lane before it looks again, per buffer: under
// sustained overload every lane is full of unread entries, and a look
// reads every lane's index.
constexpr uint32_t kRoomSearchSkips = 16;
thread_local uint32_t t_roomSearchSkips[kLogIdCount];

// The calling thread's name, packed for a reader slot.
void threadName(uint64_t (&words)[2]) {
    char name[17] = {};
    prctl(PR_GET_NAME, name, 0, 0, 0);
    std::memcpy(words, name, sizeof words);
}

}  // namespace

bool stateIsSane(const RingState& s, uint64_t capacity) {
    return s.tail <= s.head && s.head - s.tail <= capacity && s.firstSeq <= s.nextSeq &&
           s.clearSeq <= s.firstSeq &&
           s.nextSeq - s.firstSeq <= (s.head - s.tail) / kEntryHeaderSize;
}

size_t laneHeaderOffset(size_t lane) {
    return sizeof(BufferHeader) + kReaderSlots * sizeof(ReaderSlot) + lane * kLaneHeaderSize;
}

LogBuffer* LogBuffer::get(LogId id) {
    static std::array<std::atomic<LogBuffer*>, kLogIdCount> buffers{};
    auto index = static_cast<size_t>(id);
    if (index >= kLogIdCount) {
        errno = EINVAL;
        return nullptr;
    }
    if (LogBuffer* mapped = buffers[index].load(std::memory_order_acquire)) return mapped;
    std::lock_guard<std::mutex> lock(firstMappingMutex());
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

bool LogBuffer::open(std::string& error) {
    path_ = rootedPath("/dev/log/") + std::string(name());
    if (!file_.open(path_, ringFormat(), error)) return false;
    auto* base = static_cast<uint8_t*>(file_.base());
    header_ = reinterpret_cast<BufferHeader*>(base);
    readerSlots_ = reinterpret_cast<ReaderSlot*>(base + kReaderTableOffset);
    capacity_ = static_cast<size_t>(header_->capacity);
    for (size_t i = 0; i < kLogLanes; ++i) {
        lanes_[i].header = reinterpret_cast<LaneHeader*>(base + laneHeaderOffset(i));
        lanes_[i].data = base + kBufferHeaderSize + i * capacity_;
    }
    return true;
}

void LogBuffer::setWriteHookForTest(WriteHook hook) {
    writeHook.store(hook, std::memory_order_relaxed);
}

RingState LogBuffer::lockedState(Lane& lane, bool recovered) {
    const LaneHeader& header = *lane.header;
    RingState state = loadState(header.states[header.current.load(std::memory_order_relaxed) & 1]);
    if (stateIsSane(state, capacity_)) return state;
    if (!recovered) std::fprintf(stderr, "xktlog: %s: damaged index, emptied\n", path_.c_str());
    // Offsets start again from 0; a reader past the new head starts over.
    uint64_t next = std::max(state.nextSeq, state.firstSeq);
    state = RingState{0, 0, next, next, next};
    commit(lane, state);
    return state;
}

bool LogBuffer::snapshot(const Lane& lane, RingState& state, uint32_t& commit) const {
    const LaneHeader& header = *lane.header;
    for (int attempt = 0; attempt < 8; ++attempt) {
        commit = header.current.load(std::memory_order_acquire);
        state = loadState(header.states[commit & 1]);
        sharedFence(std::memory_order_acquire);
        // The next commit fills the other slot; only the one after can have
        // been writing into this copy.
        if (header.current.load(std::memory_order_relaxed) - commit < 2) {
            return stateIsSane(state, capacity_);
        }
    }
    return false;
}

void LogBuffer::commit(Lane& lane, const RingState& state) {
    const uint32_t count = lane.header->current.load(std::memory_order_relaxed) + 1;
    storeState(lane.header->states[count & 1], state);
    lane.header->current.store(count, std::memory_order_release);
}

size_t LogBuffer::put(Lane& lane, size_t pos, const void* src, size_t size) {
    if (size == 0) return pos;  // src may be null then
    size_t first = std::min(size, capacity_ - pos);
    copySharedBytes(lane.data + pos, src, first);
    if (first < size) {
        copySharedBytes(lane.data, static_cast<const uint8_t*>(src) + first, size - first);
        return size - first;
    }
    pos += first;
    return pos == capacity_ ? 0 : pos;
}

void LogBuffer::takeAt(const Lane& lane, size_t pos, void* dst, size_t size) const {
    size_t first = std::min(size, capacity_ - pos);
    copySharedBytes(dst, lane.data + pos, first);
    if (first < size) copySharedBytes(static_cast<uint8_t*>(dst) + first, lane.data, size - first);
}

// The head's place in the ring. A 64-bit division costs more than the rest
// of a write (a library call on 32-bit machines), and this process's last
// write into the lane usually left the head where it is.
size_t LogBuffer::headPosition(Lane& lane, uint64_t head) const {
    return lane.head == head ? lane.headPos : static_cast<size_t>(head % capacity_);
}

bool LogBuffer::entrySizeAt(const Lane& lane, const RingState& state, uint64_t offset,
                            size_t pos, uint64_t& size) const {
    if (offset < state.tail || state.head - offset < kEntryHeaderSize) return false;
    uint8_t raw[2];
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
        if (!entrySizeAt(lane, state, state.tail, static_cast<size_t>(state.tail % capacity_),
                         size)) {
            state.tail = state.head;  // damaged entries: give up the lot
            state.firstSeq = state.nextSeq;
            return;
        }
        state.tail += size;
        ++state.firstSeq;
    }
}

// The thread's own lane, waited for a moment; when a live owner keeps it
// (stopped, or preempted for long), any other lane that comes free within
// another such moment, which the thread then keeps.
LogBuffer::Lane* LogBuffer::lockWritableLane(bool& recovered) {
    const size_t own = t_laneSeat.lane(wakeArea());
    const LockResult result = lockShared(lanes_[own].header->lock, kLaneWaitUs);
    recovered = result == LockResult::Recovered;
    if (result != LockResult::TimedOut) return &lanes_[own];
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (timespec now = start;;) {
        for (size_t step = 1; step < kLogLanes; ++step) {
            const size_t other = (own + step) % kLogLanes;
            if (tryLockShared(lanes_[other].header->lock)) {
                t_laneSeat.moveTo(other);
                return &lanes_[other];
            }
        }
        sched_yield();
        clock_gettime(CLOCK_MONOTONIC, &now);
        const int64_t spentUs =
            (now.tv_sec - start.tv_sec) * 1000000 + (now.tv_nsec - start.tv_nsec) / 1000;
        if (spentUs >= kLaneWaitUs) break;
    }
    lanes_[own].header->dropped.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
}

uint64_t LogBuffer::unreadRoom(const Lane& lane, const RingState& state) const {
    const uint64_t mark = lane.header->readMark.load(std::memory_order_relaxed);
    return capacity_ - (state.head - std::clamp(mark, state.tail, state.head));
}

LogBuffer::Lane* LogBuffer::laneWithRoom(Lane* lane, RingState& state, uint64_t need) {
    if (state.head - state.tail + need <= capacity_) return lane;
    const uint64_t slice = need + capacity_ / 32;
    if (unreadRoom(*lane, state) >= slice) return lane;
    uint32_t& skips = t_roomSearchSkips[static_cast<size_t>(id_)];
    if (skips != 0) {
        --skips;
        return lane;
    }
    const WakeArea* wake = wakeArea();
    size_t roomiest = kLogLanes;
    uint64_t mostRoom = std::max<uint64_t>(capacity_ / 4, slice);
    for (size_t i = 0; i < kLogLanes; ++i) {
        if (&lanes_[i] == lane ||
            (wake != nullptr && wake->laneWriters[i].load(std::memory_order_relaxed) != 0)) {
            continue;
        }
        RingState other{};
        uint32_t commit = 0;
        if (!snapshot(lanes_[i], other, commit)) continue;
        if (const uint64_t room = unreadRoom(lanes_[i], other); room >= mostRoom) {
            mostRoom = room;
            roomiest = i;
        }
    }
    if (roomiest == kLogLanes || !tryLockShared(lanes_[roomiest].header->lock)) {
        skips = kRoomSearchSkips;
        return lane;
    }
    unlockShared(lane->header->lock);
    t_laneSeat.moveTo(roomiest);
    state = lockedState(lanes_[roomiest], false);
    return &lanes_[roomiest];
}

void LogBuffer::append(Lane& lane, RingState state, const uint8_t* head, size_t headSize,
                       std::string_view tag, std::string_view message) {
    static constexpr char nul = '\0';
    const uint64_t need = headSize + tag.size() + 1 + message.size() + 1;
    // The dropped entries go first, in an index of their own: the copy
    // below overwrites their bytes, and a reader copying them must see that.
    if (state.head - state.tail + need > capacity_) {
        // A full ring frees a slice at once: finding where the oldest
        // entry ends means reading bytes written long ago (a cache miss
        // each), which writers then pay once a slice, not once a write.
        dropOldest(lane, state, std::min<uint64_t>(need + capacity_ / 32, capacity_));
        commit(lane, state);
        sharedFence(std::memory_order_seq_cst);
        reachStage(WriteStage::OldestDropped);
    }
    size_t pos = headPosition(lane, state.head);
    pos = put(lane, pos, head, headSize);
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

    bool recovered = false;
    Lane* lane = lockWritableLane(recovered);
    if (lane == nullptr) return -EBUSY;
    RingState state = lockedState(*lane, recovered);
    lane = laneWithRoom(lane, state, sizeof head + tag.size() + 1 + message.size() + 1);
    append(*lane, state, head, sizeof head, tag, message);
    // The count goes up before the sleepers are looked at, and a sleeper
    // registers before it looks at the count (both in one total order),
    // so either the writer sees the sleeper or the sleeper the entry.
    lane->header->writes.fetch_add(1, std::memory_order_seq_cst);
    WakeArea* wake = wakeArea();
    const bool wakeNeeded =
        wake != nullptr && wake->sleepers.load(std::memory_order_seq_cst) != 0;
    unlockShared(lane->header->lock);
    if (wakeNeeded) wakeSleepers(*wake);
    return static_cast<int>(payload);
}

bool LogBuffer::clear() {
    bool all = true;
    for (Lane& lane : lanes_) {
        SharedLockGuard guard(lane.header->lock, kLaneWaitUs);
        if (!guard.locked()) {
            all = false;
            continue;
        }
        RingState state = lockedState(lane, guard.recovered());
        state.tail = state.head;
        state.firstSeq = state.nextSeq;
        state.clearSeq = state.nextSeq;
        commit(lane, state);
        sharedFence(std::memory_order_seq_cst);
        lane.header->writes.fetch_add(1, std::memory_order_seq_cst);
    }
    return all;
}

LogBufferStats LogBuffer::stats() {
    LogBufferStats stats;
    stats.capacity = capacity_;
    for (const Lane& lane : lanes_) {
        RingState state{};
        uint32_t commit = 0;
        if (snapshot(lane, state, commit)) {
            stats.used += state.head - state.tail;
            stats.entries += state.nextSeq - state.firstSeq;
            stats.written += state.nextSeq;
        }
        stats.dropped += lane.header->dropped.load(std::memory_order_relaxed);
    }
    stats.managingLost = header_->managingLost.load(std::memory_order_relaxed);
    stats.lost = header_->managingSeen.load(std::memory_order_relaxed) != 0
                     ? stats.managingLost
                     : header_->mostLost.load(std::memory_order_relaxed);
    for (size_t i = 0; i < kReaderSlots; ++i) {
        const ReaderSlot& slot = readerSlots_[i];
        const uint64_t owner = slot.owner.load(std::memory_order_acquire);
        if (owner == 0) continue;
        uint64_t words[2] = {slot.name[0].load(std::memory_order_relaxed),
                             slot.name[1].load(std::memory_order_relaxed)};
        char name[sizeof words + 1] = {};
        std::memcpy(name, words, sizeof words);
        stats.readers.push_back({static_cast<int32_t>(static_cast<uint32_t>(owner)),
                                 std::string(name, strnlen(name, sizeof words)),
                                 slot.lost.load(std::memory_order_relaxed)});
    }
    return stats;
}

// A free slot of the reader table, or one whose owner is gone; null when
// every slot is held by a live reader (its loss is then only summed up).
ReaderSlot* LogBuffer::claimReaderSlot(bool& managing) {
    uint64_t name[2];
    threadName(name);
    managing = std::strncmp(reinterpret_cast<const char*>(name), "log_thread", 16) == 0;
    if (managing) header_->managingSeen.store(1, std::memory_order_relaxed);
    const uint64_t self = currentOwnerToken();
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < kReaderSlots; ++i) {
            ReaderSlot& slot = readerSlots_[i];
            uint64_t owner = slot.owner.load(std::memory_order_relaxed);
            if (owner != 0 && (pass == 0 || ownerIsAlive(owner))) continue;
            if (!slot.owner.compare_exchange_strong(owner, self, std::memory_order_acq_rel)) {
                continue;
            }
            slot.lost.store(0, std::memory_order_relaxed);
            slot.name[0].store(name[0], std::memory_order_relaxed);
            slot.name[1].store(name[1], std::memory_order_relaxed);
            return &slot;
        }
    }
    return nullptr;
}

void LogBuffer::noteReaderLoss(ReaderSlot* slot, bool managing, uint64_t lost, uint64_t total) {
    if (slot != nullptr) slot->lost.store(total, std::memory_order_relaxed);
    if (managing) header_->managingLost.fetch_add(lost, std::memory_order_relaxed);
    uint64_t most = header_->mostLost.load(std::memory_order_relaxed);
    while (total > most &&
           !header_->mostLost.compare_exchange_weak(most, total, std::memory_order_relaxed)) {
    }
}

}  // namespace xkt::host
