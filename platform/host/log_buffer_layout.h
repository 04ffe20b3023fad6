// The shared layout of a log buffer file, for the files that implement
// LogBuffer and LogReader. The same file is mapped by 32- and 64-bit
// processes alike, so every field has a fixed width and offset.
//
// Offsets in a ring count bytes written since the file was made and never
// wrap, so "head - tail" is always the bytes in use. A lane's index lives
// twice: a writer fills the slot not in use and then publishes it by
// bumping `current`, a single aligned store, so a writer killed at any point
// leaves one whole index. Readers take no lock: they copy the index and the
// entries and check afterwards that no writer released those bytes
// meanwhile (a writer always publishes a tail past the bytes it will
// overwrite before it overwrites them).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "log_buffer.h"
#include "spin_lock.h"

namespace xkt::host {

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
    uint32_t readerSlots;
    // Entries lost by the managing reader (the log thread), by all its
    // incarnations; whether one ever read; and the most any other reader lost.
    std::atomic<uint64_t> managingLost;
    std::atomic<uint32_t> managingSeen;
    uint32_t reserved0;
    std::atomic<uint64_t> mostLost;
    uint8_t reserved[16];
};

// A reader's place in the table of readers, so that every process can see
// what each reader lost. `owner` is a lock-word token: a slot whose owner
// died is free again.
struct ReaderSlot {
    std::atomic<uint64_t> owner;
    std::atomic<uint64_t> lost;
    std::atomic<uint64_t> name[2];  // the thread's name when it began reading
    uint8_t reserved[32];
};

// Writers on several cores meet on a lane's lock. It has a cache line of its
// own, so a waiter spinning on it does not steal the line the holder is
// committing the index to.
struct LaneHeader {
    SharedLockWord lock;
    uint8_t pad0[56];
    std::atomic<uint32_t> current;  // counts commits; its low bit picks the index
    // Entries written so far (wrapping): a reader that emptied the lane
    // looks here to see whether anything came since.
    std::atomic<uint32_t> writes;
    RingState states[2];
    // Entries writers gave up on: the lock stayed with a live owner past the
    // deadline and no other lane was free.
    std::atomic<uint64_t> dropped;
    uint8_t pad2[32];
    // How far the managing reader (the log thread) has read this lane: a
    // writer whose lane holds nothing else moves to one with room rather
    // than overwrite what the log thread has yet to see. Written by that
    // reader alone, on a line of its own, so its stores do not steal the
    // lines that writers commit to; writers read it once a slice of ring.
    std::atomic<uint64_t> readMark;
    uint8_t pad3[56];
};

inline constexpr uint32_t kRingMagic = 0x424c4b58;  // "XKLB"
inline constexpr uint32_t kRingVersion = 5;
inline constexpr size_t kReaderSlots = 16;
inline constexpr size_t kReaderTableOffset = 64;

static_assert(sizeof(RingState) == 40 && sizeof(BufferHeader) == 64 && sizeof(ReaderSlot) == 64);
static_assert(sizeof(LaneHeader) == kLaneHeaderSize &&
              offsetof(LaneHeader, current) == kLaneIndexOffset &&
              offsetof(LaneHeader, states) == kLaneIndexOffset + 8 &&
              offsetof(LaneHeader, dropped) == kLaneIndexOffset + 88 &&
              offsetof(LaneHeader, readMark) % 64 == 0);
static_assert(kBufferHeaderSize ==
              sizeof(BufferHeader) + kReaderSlots * sizeof(ReaderSlot) + kLogLanes * kLaneHeaderSize);

// How long a writer waits for its lane's lock before it tries another lane.
inline constexpr int64_t kLaneWaitUs = 1000;

bool stateIsSane(const RingState& s, uint64_t capacity);

// The index words are read by readers that hold no lock while a writer may
// fill them: word-sized atomic accesses, plain moves on the machine.
inline void storeState(RingState& slot, const RingState& state) {
    __atomic_store_n(&slot.head, state.head, __ATOMIC_RELAXED);
    __atomic_store_n(&slot.tail, state.tail, __ATOMIC_RELAXED);
    __atomic_store_n(&slot.firstSeq, state.firstSeq, __ATOMIC_RELAXED);
    __atomic_store_n(&slot.nextSeq, state.nextSeq, __ATOMIC_RELAXED);
    __atomic_store_n(&slot.clearSeq, state.clearSeq, __ATOMIC_RELAXED);
}

inline RingState loadState(const RingState& slot) {
    return RingState{__atomic_load_n(&slot.head, __ATOMIC_RELAXED),
                     __atomic_load_n(&slot.tail, __ATOMIC_RELAXED),
                     __atomic_load_n(&slot.firstSeq, __ATOMIC_RELAXED),
                     __atomic_load_n(&slot.nextSeq, __ATOMIC_RELAXED),
                     __atomic_load_n(&slot.clearSeq, __ATOMIC_RELAXED)};
}

// Ring bytes a reader copies while a writer may be overwriting them (the
// reader then throws its copy away). ThreadSanitizer cannot follow that
// check, so its builds copy with atomic bytes on both sides.
inline void copySharedBytes(void* dst, const void* src, size_t size) {
#if defined(__SANITIZE_THREAD__)
    auto* to = static_cast<uint8_t*>(dst);
    const auto* from = static_cast<const uint8_t*>(src);
    for (size_t i = 0; i < size; ++i) {
        __atomic_store_n(to + i, __atomic_load_n(from + i, __ATOMIC_RELAXED), __ATOMIC_RELAXED);
    }
#else
    std::memcpy(dst, src, size);
#endif
}

// Orders the copies above against the index words. ThreadSanitizer does not
// model fences (and warns about them); its builds copy with atomics instead.
inline void sharedFence(std::memory_order order) {
#if !defined(__SANITIZE_THREAD__)
    std::atomic_thread_fence(order);
#else
    (void)order;
#endif
}

inline uint16_t getLe16(const uint8_t* in) {
    return static_cast<uint16_t>(in[0] | (static_cast<uint16_t>(in[1]) << 8));
}

}  // namespace xkt::host
