// The wake-up area of a box root ($XKT_ROOT/dev/log/.wake): one futex word
// for all buffers, so a reader can wait for several with one sleep, the
// count of sleeping readers that tells a writer whether to wake anyone, and
// how many live threads write into each lane. Internal to the log buffers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "log_buffer.h"
#include "spin_lock.h"

namespace xkt::host {

// Each process that ever slept has a slot with its share of the sleepers,
// so the share of a process killed in its sleep can be taken back;
// otherwise every later write would pay for a futex call.
inline constexpr size_t kWakeSlots = 128;

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
    WakeSlot slots[kWakeSlots];
    // A hint only: a writer killed outright never gives its place back, and
    // the counts are never trusted beyond picking the emptiest lane.
    std::atomic<uint32_t> laneWriters[kLogLanes];
};
static_assert(offsetof(WakeArea, lock) == kWakeLockOffset && offsetof(WakeArea, slots) == 24 &&
              sizeof(WakeSlot) == 8 && offsetof(WakeArea, laneWriters) == 24 + 8 * kWakeSlots);

// Serialises the first mapping of each shared file in this process.
std::mutex& firstMappingMutex();

// The root's area, mapped on first use; null when it cannot be.
WakeArea* wakeArea();

// Wakes every reader asleep on the area (a writer calls it only when the
// sleeper count says someone sleeps).
void wakeSleepers(WakeArea& wake);

}  // namespace xkt::host
