#include "log_wake.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <linux/futex.h>
#include <memory>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>

#include "process_ids.h"
#include "root_path.h"
#include "shared_file.h"

namespace xkt::host {

namespace {

constexpr uint32_t kWakeMagic = 0x574b4c58;  // "XLKW"
constexpr uint32_t kWakeVersion = 4;
constexpr int kSweepIntervalMs = 2000;
// The slot lock is held for a look at 128 slots: a holder that keeps it
// longer is stopped or gone, and the caller does without a slot.
constexpr int64_t kSlotLockWaitUs = 1000;

long futexCall(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
    // Not FUTEX_PRIVATE_FLAG: the word is shared with other processes.
#if defined(SYS_futex_time64)
    if (sizeof(timeout->tv_sec) > sizeof(long)) {
        return syscall(SYS_futex_time64, word, op, value, timeout, nullptr, 0);
    }
#endif
    return syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
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

int64_t monotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int64_t monotonicMs() { return monotonicUs() / 1000; }

bool processIsGone(uint32_t pid) {
    return pid > static_cast<uint32_t>(INT32_MAX) ||
           (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
}

// Takes back the sleeper shares of processes that died asleep. With
// `self`, also the share of an earlier process that had our pid, which can
// only be stale: this process has not claimed a slot yet. A sleeper count
// that the shares no longer explain (a scribbled word) is set to what they
// add up to, so writers stop paying for wake-ups nobody waits for.
void sweepSlots(WakeArea& wake, uint32_t self) {
    uint32_t shares = 0;
    for (WakeSlot& slot : wake.slots) {
        uint32_t pid = slot.pid.load(std::memory_order_relaxed);
        if (pid == 0) continue;
        if (pid == self || processIsGone(pid)) {
            wake.sleepers.fetch_sub(slot.count.exchange(0), std::memory_order_relaxed);
            slot.pid.store(0, std::memory_order_relaxed);
            continue;
        }
        shares += slot.count.load(std::memory_order_relaxed);
    }
    // Sleepers without a slot (all taken) are few; more than every slot's
    // share plus one per process's thread limit cannot be.
    if (wake.sleepers.load(std::memory_order_relaxed) > shares + 4096) {
        wake.sleepers.store(shares, std::memory_order_relaxed);
    }
}

std::mutex slotMutex;
uint32_t slotOwner = 0;  // the pid that claimed slotIndex (differs after fork)
size_t slotIndex = kWakeSlots;

WakeSlot* ownSlot(WakeArea& wake) {
    const auto self = static_cast<uint32_t>(currentPid());
    std::lock_guard<std::mutex> lock(slotMutex);
    if (slotOwner == self) return slotIndex < kWakeSlots ? &wake.slots[slotIndex] : nullptr;
    SharedLockGuard guard(wake.lock, kSlotLockWaitUs);
    if (!guard.locked()) return nullptr;  // try again at the next sleep
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
    SharedLockGuard guard(wake.lock, kSlotLockWaitUs);
    if (guard.locked()) sweepSlots(wake, 0);
}

// Counts the caller among the sleepers for its lifetime. The count goes up
// before the caller looks for entries (a lane's write count or its index)
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

constexpr int64_t kNapUs = 200;
constexpr int64_t kBusyWaitUs = 1000;
// A sleeper wakes at least this often to look again: a writer that timed
// out on a lane, or a scribbled futex word, must not leave it asleep.
constexpr int64_t kLongestSleepMs = 1000;

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
            timespec step = fromMs(std::min<int64_t>(remaining, kLongestSleepMs));
            rc = futexCall(&wake->sequence, FUTEX_WAIT, sequence, &step);
        }
        bool interrupted = rc != 0 && errno == EINTR;
        if (ready()) return LogWaitResult::Ready;
        if (interrupted) return LogWaitResult::Interrupted;
    }
    if (wake != nullptr) sweepNowAndThen(*wake);
    return LogWaitResult::TimedOut;
}

}  // namespace

std::mutex& firstMappingMutex() {
    static std::mutex mutex;
    return mutex;
}

WakeArea* wakeArea() {
    static std::atomic<WakeArea*> area{nullptr};
    if (WakeArea* mapped = area.load(std::memory_order_acquire); mapped != nullptr) return mapped;
    std::lock_guard<std::mutex> lock(firstMappingMutex());
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

void wakeSleepers(WakeArea& wake) {
    wake.sequence.fetch_add(1, std::memory_order_release);
    futexCall(&wake.sequence, FUTEX_WAKE, INT_MAX, nullptr);
}

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
