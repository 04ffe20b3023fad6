// The host's stand-in for the kernel logger: four buffers of log entries
// ("main", "radio", "events", "system") in files under $XKT_ROOT/dev/log,
// mapped by every process that logs or reads. Writers never wait for a
// reader: a full ring drops its oldest entries, and a reader that was lapped
// counts what it lost. Entries keep the logger's version-1 layout, so a read
// hands out exactly the bytes a box's log device would.
//
// Each buffer is several rings ("lanes") with a lock each. A thread keeps to
// one lane, the one with the fewest live writers when it first writes, so
// writers on different cores seldom meet on one lock. It moves on when a
// live owner keeps its lane's lock past a deadline, and when its lane holds
// nothing but entries the log thread has not read while another has room
// (a burst may thus fill every lane). A full lane drops its own oldest
// entries. Readers take no lock and merge the lanes by the entries' time,
// which keeps each thread's entries in order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared_file.h"

namespace xkt::host {

enum class LogId : uint8_t { Main, Radio, Events, System };
inline constexpr size_t kLogIdCount = 4;

std::string_view logIdName(LogId id);
std::optional<LogId> logIdFromName(std::string_view name);

// The logger's version-1 entry: a 20-byte little-endian header, then the
// payload (priority byte, tag, NUL, message, NUL).
inline constexpr size_t kEntryHeaderSize = 20;
inline constexpr size_t kMaxPayload = 4076;
inline constexpr size_t kMaxEntrySize = kEntryHeaderSize + kMaxPayload;

struct LogEntryHeader {
    uint16_t payloadLength = 0;
    uint16_t padding = 0;
    int32_t pid = 0;
    int32_t tid = 0;
    int32_t seconds = 0;
    int32_t nanoseconds = 0;
};

void encodeEntryHeader(const LogEntryHeader& header, uint8_t out[kEntryHeaderSize]);
LogEntryHeader decodeEntryHeader(const uint8_t in[kEntryHeaderSize]);

// One entry as read, split into its parts; the views point into the bytes
// that were read.
struct LogEntryView {
    LogEntryHeader header;
    int priority = 0;
    std::string_view tag;
    std::string_view message;
};

// Splits entry[size] (header and payload). False when it is shorter than its
// header says or has no payload; a missing NUL ends the text at the payload's end.
bool parseLogEntry(const uint8_t* entry, size_t size, LogEntryView& view);

// Who wrote an entry, and when.
struct LogOrigin {
    int32_t pid = 0;
    int32_t tid = 0;
    int32_t seconds = 0;
    int32_t nanoseconds = 0;
};

// The calling thread now: cached ids and a vDSO clock, no system call.
LogOrigin currentOrigin();

// What one reader of a buffer lost, as every process can see it.
struct LogReaderStats {
    int32_t pid = 0;
    std::string name;   // its thread's name when it began ("log_thread": the managing reader)
    uint64_t lost = 0;  // entries overwritten before it read them
};

struct LogBufferStats {
    uint64_t capacity = 0;  // bytes of each lane's ring
    uint64_t used = 0;      // bytes held by entries, all lanes
    uint64_t entries = 0;   // entries held now
    // What the managing reader (the log thread, all its runs together) lost;
    // without one ever, the most any single reader lost. Never a sum over
    // readers: each of them sees every entry.
    uint64_t lost = 0;
    uint64_t written = 0;       // entries ever written, flushed ones included
    uint64_t dropped = 0;       // entries writers gave up on (every lane locked by a live owner)
    uint64_t managingLost = 0;  // entries the log thread lost, all its runs together
    std::vector<LogReaderStats> readers;  // the readers reading now
};

struct RingState;
struct BufferHeader;
struct LaneHeader;
struct ReaderSlot;

// Where the parts of a buffer file lie, for tests that damage them.
// Enough lanes that a few writers stopped inside their lane (by a debugger,
// or frozen) leave free ones to the others.
inline constexpr size_t kLogLanes = 16;
inline constexpr size_t kLaneHeaderSize = 256;
inline constexpr size_t kBufferHeaderSize = 64 + 16 * 64 + kLogLanes * kLaneHeaderSize;
inline constexpr size_t kLaneIndexOffset = 64;  // within a lane's header
size_t laneHeaderOffset(size_t lane);           // a lane's header, its lock word first
inline constexpr size_t kWakeLockOffset = 16;   // the lock word in $XKT_ROOT/dev/log/.wake

class LogBuffer {
public:
    // Default size of each lane's ring; XKT_LOG_BUFFER_SIZE (bytes)
    // overrides it when a buffer file is created.
    static constexpr uint64_t kDefaultCapacity = 512u << 10;
    static constexpr uint64_t kMinCapacity = 4096;
    static constexpr uint64_t kMaxCapacity = 1u << 24;  // all lanes stay mappable on 32 bits

    // The process's mapping of the buffer under the box root, made on first
    // use and kept for the life of the process. Null with errno on failure.
    static LogBuffer* get(LogId id);

    // Appends one entry; a tag or message too long for the largest payload
    // is cut. Neither may hold a NUL. Returns the payload size (> 0), or
    // -EBUSY when every lane stayed locked by live owners for about two
    // milliseconds (the entry is then counted as dropped).
    int write(int priority, std::string_view tag, std::string_view message);
    int write(const LogOrigin& origin, int priority, std::string_view tag,
              std::string_view message);

    // Empties the ring for every reader; the dropped entries are not counted
    // as lost. False when a lane stayed locked (that lane keeps its entries).
    bool clear();
    LogBufferStats stats();

    LogId id() const { return id_; }
    std::string_view name() const { return logIdName(id_); }
    const std::string& path() const { return path_; }

    // Points between the steps of a write, so tests can kill a writer there.
    enum class WriteStage { OldestDropped, HalfCopied, Copied };
    using WriteHook = void (*)(WriteStage);
    static void setWriteHookForTest(WriteHook hook);

    LogBuffer(const LogBuffer&) = delete;
    LogBuffer& operator=(const LogBuffer&) = delete;

private:
    friend class LogReader;

    // One lane: its lock and index, and its ring of entries. head and
    // headPos are this process's note of where its last write left the
    // head; used under the lane's lock only, and on a cache line of their
    // own, as threads writing into different lanes store to them.
    struct alignas(64) Lane {
        LaneHeader* header = nullptr;
        uint8_t* data = nullptr;
        uint64_t head = UINT64_MAX;
        size_t headPos = 0;
    };

    explicit LogBuffer(LogId id) : id_(id) {}
    bool open(std::string& error);
    // The lane's index for its lock holder; a damaged one is replaced by an
    // empty ring rather than trusted.
    RingState lockedState(Lane& lane, bool recovered);
    // A copy of the lane's index taken without the lock; false when it is
    // damaged or kept changing. commit receives the index's commit count.
    bool snapshot(const Lane& lane, RingState& state, uint32_t& commit) const;
    void commit(Lane& lane, const RingState& state);
    // Where the entry at offset ends; false when its header cannot be right.
    bool entrySizeAt(const Lane& lane, const RingState& state, uint64_t offset, size_t pos,
                     uint64_t& size) const;
    void dropOldest(Lane& lane, RingState& state, uint64_t need);
    size_t headPosition(Lane& lane, uint64_t head) const;
    size_t put(Lane& lane, size_t pos, const void* src, size_t size);
    void takeAt(const Lane& lane, size_t pos, void* dst, size_t size) const;
    // The lane this thread may write into now, locked; null when none.
    Lane* lockWritableLane(bool& recovered);
    // Free bytes of the lane once what the log thread has read is counted as free.
    uint64_t unreadRoom(const Lane& lane, const RingState& state) const;
    // Where the next entry goes when the thread's lane is full. Overwriting
    // its oldest entries is fine once the log thread has read them. If it
    // has not, the thread moves to a lane that no thread sits in and that
    // has room, so a burst larger than a lane spreads over all of them.
    // When none has (the log thread is behind everywhere, or there is none),
    // it stays: its lane stays in its cache, and loss is counted either way.
    // The other lane's lock is only tried, never waited for. Returns the
    // lane locked, its index in state.
    Lane* laneWithRoom(Lane* lane, RingState& state, uint64_t need);
    void append(Lane& lane, RingState state, const uint8_t* head, size_t headSize,
                std::string_view tag, std::string_view message);
    ReaderSlot* claimReaderSlot(bool& managing);
    void noteReaderLoss(ReaderSlot* slot, bool managing, uint64_t lost, uint64_t total);

    LogId id_;
    std::string path_;
    SharedFile file_;
    BufferHeader* header_ = nullptr;
    ReaderSlot* readerSlots_ = nullptr;
    std::array<Lane, kLogLanes> lanes_{};
    size_t capacity_ = 0;  // of each lane
};

// A reader's own position in one buffer. Process-local; one thread at a time.
class LogReader {
public:
    // Starts at the oldest entry still in the buffer. Takes no lock, so no
    // writer, however stuck, can hold a reader up.
    explicit LogReader(LogBuffer& buffer);
    ~LogReader();
    LogReader(const LogReader&) = delete;
    LogReader& operator=(const LogReader&) = delete;

    // Copies the next whole entry (header and payload) into out. Returns its
    // size, 0 when there is none, -EINVAL when it does not fit in size (it
    // stays the next one).
    int read(void* out, size_t size);
    // Copies the next entries, as many whole ones as fit, one behind the
    // other into out, under one hold of the buffer's lock. Returns the bytes
    // copied; 0 and -EINVAL as read does for the first entry.
    int readSome(void* out, size_t size);
    bool hasUnread();
    // Ends this reader at the entries present now (a dump must end even
    // while writers go on).
    void stopAtCurrentEnd();

    uint64_t lost() const { return lost_; }  // entries this reader lost, in all
    LogBuffer& buffer() const { return *buffer_; }

private:
    // Where this reader stands in one lane.
    struct Cursor {
        uint64_t seq = 0;     // sequence number of the next entry to read
        uint64_t offset = 0;  // its byte offset in the ring
        // offset's place in the ring while posOffset equals offset: a read
        // moves it on by the entry's size instead of dividing again.
        size_t pos = 0;
        uint64_t posOffset = UINT64_MAX;
        uint64_t end = UINT64_MAX;  // sequence number it stops at
        // Nothing was left to read when the lane's write count stood at
        // drainedAt (a count that wraps: it would take 2^32 writes between
        // two looks to miss one).
        bool drained = false;
        uint32_t drainedAt = 0;
        uint64_t published = UINT64_MAX;  // offset last shown to writers (the log thread)
    };
    struct Next;
    // The lanes' indexes of one merge: `first` were taken before `fresh`,
    // and only entries present in `first` are handed out, so that every
    // entry written before them is in `fresh` and merged first.
    struct Snapshots;

    void catchUp(Cursor& cursor, const RingState& state);
    size_t ringPosition(Cursor& cursor) const;
    bool look(size_t lane, RingState& state, uint32_t& commit, uint32_t& writes);
    bool peek(size_t lane, Snapshots& shots, Next& next);
    bool stillThere(size_t lane, Snapshots& shots, uint64_t offset);
    bool hasNews(size_t lane) const;
    int copyEntries(void* out, size_t size, size_t most);
    void publishMarks();

    LogBuffer* buffer_;
    std::array<Cursor, kLogLanes> cursors_{};
    uint64_t lost_ = 0;
    ReaderSlot* slot_ = nullptr;
    bool managing_ = false;
};

// Waits until ready() holds, the time-out passes (timeoutMs < 0: none) or a
// signal handler runs. ready() is asked again after every write to any
// buffer of the root, from any process.
enum class LogWaitResult { Ready, TimedOut, Interrupted };
LogWaitResult waitForLogs(const std::function<bool()>& ready, int timeoutMs);

// True when one of the readers has an unread entry within the time-out.
bool waitForLogEntries(LogReader* const* readers, size_t count, int timeoutMs);

// The shared wake word of the root: how often writers woke sleepers, and how
// many readers sleep now. For tests and diagnostics.
struct LogWakeStats {
    uint32_t sequence = 0;
    uint32_t sleepers = 0;
};
LogWakeStats logWakeStats();

}  // namespace xkt::host
