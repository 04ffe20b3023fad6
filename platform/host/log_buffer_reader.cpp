// The reading side of the log buffers: a reader's own position in each
// lane, and the merge of the lanes by the entries' time. Readers take no
// lock at all: a writer stopped inside its lane, or one that died there,
// cannot hold them up.
#include <algorithm>
#include <cerrno>
#include <climits>

#include "log_buffer.h"
#include "log_buffer_layout.h"

namespace xkt::host {

// The next entry of one lane: how big it is and its time, by which the
// lanes are merged.
struct LogReader::Next {
    bool present = false;
    uint64_t size = 0;
    int64_t time = 0;
};

struct LogReader::Snapshots {
    std::array<uint64_t, kLogLanes> limit{};  // sequence numbers present at the first look
    std::array<RingState, kLogLanes> state{};
    std::array<uint32_t, kLogLanes> commit{};
    std::array<uint32_t, kLogLanes> writes{};
    std::array<bool, kLogLanes> valid{};
};

LogReader::LogReader(LogBuffer& buffer) : buffer_(&buffer) {
    slot_ = buffer.claimReaderSlot(managing_);
    for (size_t i = 0; i < kLogLanes; ++i) {
        RingState state{};
        uint32_t commit = 0;
        Cursor& cursor = cursors_[i];
        if (buffer.snapshot(buffer.lanes_[i], state, commit)) {
            cursor.seq = state.firstSeq;
            cursor.offset = state.tail;
        } else {
            // Placed at the oldest entry once the lane is whole again.
            cursor.seq = UINT64_MAX;
            cursor.offset = UINT64_MAX;
        }
    }
    publishMarks();
}

// The log thread tells writers how far it has read each lane, so that a
// writer overwrites what it has read rather than what it has not. Stored
// only when it moved: the line is the reader's, but writers read it.
void LogReader::publishMarks() {
    if (!managing_) return;
    for (size_t i = 0; i < kLogLanes; ++i) {
        Cursor& cursor = cursors_[i];
        // Not placed yet (its lane was damaged): it has read nothing there.
        if (cursor.offset == cursor.published || cursor.offset == UINT64_MAX) continue;
        cursor.published = cursor.offset;
        buffer_->lanes_[i].header->readMark.store(cursor.offset, std::memory_order_relaxed);
    }
}

LogReader::~LogReader() {
    if (slot_ != nullptr) slot_->owner.store(0, std::memory_order_release);
}

// Moves a lapped reader to the oldest entry still present, counting what
// was overwritten under it (what a flush took away is not a loss).
void LogReader::catchUp(Cursor& cursor, const RingState& state) {
    if (cursor.seq >= state.firstSeq && cursor.seq <= state.nextSeq &&
        cursor.offset >= state.tail && cursor.offset <= state.head) {
        return;
    }
    if (cursor.seq < state.firstSeq) {
        const uint64_t from = std::max(cursor.seq, state.clearSeq);
        const uint64_t lost = state.firstSeq > from ? state.firstSeq - from : 0;
        if (lost != 0) {
            lost_ += lost;
            buffer_->noteReaderLoss(slot_, managing_, lost, lost_);
        }
    }
    cursor.seq = state.firstSeq;
    cursor.offset = state.tail;
}

bool LogReader::hasNews(size_t lane) const {
    const Cursor& cursor = cursors_[lane];
    return !cursor.drained ||
           buffer_->lanes_[lane].header->writes.load(std::memory_order_seq_cst) != cursor.drainedAt;
}

// The lane's write count, then its index: an entry counted after the count
// was read makes the lane news again.
bool LogReader::look(size_t lane, RingState& state, uint32_t& commit, uint32_t& writes) {
    writes = buffer_->lanes_[lane].header->writes.load(std::memory_order_seq_cst);
    return buffer_->snapshot(buffer_->lanes_[lane], state, commit);
}

bool LogReader::hasUnread() {
    for (size_t i = 0; i < kLogLanes; ++i) {
        if (!hasNews(i)) continue;
        RingState state{};
        uint32_t commit = 0;
        uint32_t writes = 0;
        if (!look(i, state, commit, writes)) continue;
        Cursor& cursor = cursors_[i];
        catchUp(cursor, state);
        if (cursor.seq < std::min(state.nextSeq, cursor.end)) return true;
        cursor.drained = true;
        cursor.drainedAt = writes;
    }
    return false;
}

void LogReader::stopAtCurrentEnd() {
    for (size_t i = 0; i < kLogLanes; ++i) {
        RingState state{};
        uint32_t commit = 0;
        Cursor& cursor = cursors_[i];
        if (buffer_->snapshot(buffer_->lanes_[i], state, commit)) {
            cursor.end = state.nextSeq;
        } else {
            cursor.end = cursor.seq;
        }
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

// Whether the bytes at offset were still the lane's after they were copied:
// a writer publishes a tail past them before it overwrites them. A changed
// index is taken again into shots.
bool LogReader::stillThere(size_t lane, Snapshots& shots, uint64_t offset) {
    sharedFence(std::memory_order_acquire);
    const LaneHeader& header = *buffer_->lanes_[lane].header;
    if (header.current.load(std::memory_order_relaxed) == shots.commit[lane]) return true;
    shots.valid[lane] = buffer_->snapshot(buffer_->lanes_[lane], shots.state[lane],
                                          shots.commit[lane]);
    return shots.valid[lane] && offset >= shots.state[lane].tail;
}

// Looks at the lane's next unread entry. One overwritten while looked at
// moves the reader on, as a lap does; a damaged one (only a foreign write
// into the file gets there) ends what is read of the lane.
bool LogReader::peek(size_t lane, Snapshots& shots, Next& next) {
    Cursor& cursor = cursors_[lane];
    const LogBuffer::Lane& where = buffer_->lanes_[lane];
    next.present = false;
    for (int attempt = 0; attempt < 4 && shots.valid[lane]; ++attempt) {
        const RingState& state = shots.state[lane];
        if (cursor.seq >= std::min(state.nextSeq, cursor.end)) return false;
        const size_t pos = ringPosition(cursor);
        const bool whole = buffer_->entrySizeAt(where, state, cursor.offset, pos, next.size);
        uint8_t raw[kEntryHeaderSize];
        if (whole) buffer_->takeAt(where, pos, raw, sizeof raw);
        if (!stillThere(lane, shots, cursor.offset)) {
            if (shots.valid[lane]) catchUp(cursor, shots.state[lane]);
            continue;
        }
        if (!whole) {
            cursor.seq = state.nextSeq;
            cursor.offset = state.head;
            return false;
        }
        const LogEntryHeader header = decodeEntryHeader(raw);
        next.time = int64_t{header.seconds} * 1000000000 + header.nanoseconds;
        next.present = true;
        return true;
    }
    return false;
}

// Copies whole entries, the oldest of the lanes' next ones first. The lanes
// are looked at twice: the first look decides which entries this call may
// hand out, the second (later) one what is merged. An entry written before
// one of those (by the same thread, in a lane it left) is thus always in
// the second look and goes out first. An idle buffer costs a look at its
// lanes' counts: the log thread polls one for every entry of a busy one.
int LogReader::copyEntries(void* out, size_t size, size_t most) {
    Snapshots shots;
    bool any = false;
    for (size_t i = 0; i < kLogLanes; ++i) {
        Cursor& cursor = cursors_[i];
        shots.limit[i] = 0;
        if (!hasNews(i)) continue;
        RingState state{};
        uint32_t commit = 0;
        uint32_t writes = 0;
        if (!look(i, state, commit, writes)) continue;
        catchUp(cursor, state);
        shots.limit[i] = std::min(state.nextSeq, cursor.end);
        if (cursor.seq < shots.limit[i]) {
            any = true;
        } else {
            cursor.drained = true;
            cursor.drainedAt = writes;
        }
    }
    if (!any) return 0;
    std::array<Next, kLogLanes> next;
    for (size_t i = 0; i < kLogLanes; ++i) {
        if (!hasNews(i)) continue;
        shots.valid[i] = look(i, shots.state[i], shots.commit[i], shots.writes[i]);
        if (shots.valid[i]) catchUp(cursors_[i], shots.state[i]);
        peek(i, shots, next[i]);
    }
    size_t copied = 0;
    // Writers lapping the reader while it copies make it start over at the
    // oldest entry; a few times in one call is already a flood.
    int overwritten = 0;
    for (size_t taken = 0; taken < most && overwritten < 16;) {
        size_t lane = kLogLanes;
        for (size_t i = 0; i < kLogLanes; ++i) {
            if (next[i].present && (lane == kLogLanes || next[i].time < next[lane].time)) lane = i;
        }
        if (lane == kLogLanes || cursors_[lane].seq >= shots.limit[lane]) break;
        const uint64_t entrySize = next[lane].size;
        if (entrySize > size - copied) {
            if (copied == 0) return -EINVAL;
            break;
        }
        Cursor& cursor = cursors_[lane];
        buffer_->takeAt(buffer_->lanes_[lane], cursor.pos, static_cast<uint8_t*>(out) + copied,
                        static_cast<size_t>(entrySize));
        if (!stillThere(lane, shots, cursor.offset)) {
            // Overwritten while copied: the copy is not handed out.
            ++overwritten;
            if (shots.valid[lane]) catchUp(cursor, shots.state[lane]);
            peek(lane, shots, next[lane]);
            continue;
        }
        copied += static_cast<size_t>(entrySize);
        ++taken;
        cursor.offset += entrySize;
        cursor.pos += static_cast<size_t>(entrySize);
        if (cursor.pos >= buffer_->capacity_) cursor.pos -= buffer_->capacity_;
        cursor.posOffset = cursor.offset;
        ++cursor.seq;
        peek(lane, shots, next[lane]);
    }
    for (size_t i = 0; i < kLogLanes; ++i) {
        Cursor& cursor = cursors_[i];
        if (shots.valid[i] && !next[i].present && cursor.seq >= shots.state[i].nextSeq) {
            cursor.drained = true;
            cursor.drainedAt = shots.writes[i];
        }
    }
    publishMarks();
    return static_cast<int>(copied);
}

}  // namespace xkt::host
