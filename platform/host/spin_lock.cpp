#include "spin_lock.h"

#include <ctime>
#include <sched.h>

#include "cpu_relax.h"
#include "process_ids.h"

namespace xkt::host {

namespace {

// Critical sections are a few hundred nanoseconds: a short spin catches a
// running owner; one that was preempted is better waited for by yielding.
constexpr int kSpins = 64;

int64_t monotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

bool takeIfFree(SharedLockWord& word, uint64_t self) {
    uint64_t expected = 0;
    return word.load(std::memory_order_relaxed) == 0 &&
           word.compare_exchange_strong(expected, self, std::memory_order_acquire);
}

}  // namespace

bool tryLockShared(SharedLockWord& word) { return takeIfFree(word, currentOwnerToken()); }

LockResult lockShared(SharedLockWord& word, int64_t timeoutUs) {
    const uint64_t self = currentOwnerToken();
    uint64_t expected = 0;
    if (word.compare_exchange_strong(expected, self, std::memory_order_acquire)) {
        return LockResult::Taken;
    }
    for (int spin = 0; spin < kSpins; ++spin) {
        cpuRelax();
        if (takeIfFree(word, self)) return LockResult::Taken;
    }
    const int64_t deadline = monotonicUs() + timeoutUs;
    do {
        sched_yield();
        if (takeIfFree(word, self)) return LockResult::Taken;
    } while (monotonicUs() < deadline);
    // Only now is the owner looked at: it costs a read of /proc.
    uint64_t owner = word.load(std::memory_order_relaxed);
    if (owner == 0 && takeIfFree(word, self)) return LockResult::Taken;
    if (owner != 0 && !ownerIsAlive(owner) &&
        word.compare_exchange_strong(owner, self, std::memory_order_acquire)) {
        return LockResult::Recovered;
    }
    return LockResult::TimedOut;
}

void unlockShared(SharedLockWord& word) { word.store(0, std::memory_order_release); }

}  // namespace xkt::host
