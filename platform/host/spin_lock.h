// A lock word in memory shared by many processes. It holds the owner's pid,
// so a waiter that finds the owning process gone takes the lock over: a
// writer killed while holding it never blocks the box's log. Critical
// sections are a few hundred nanoseconds, so waiters spin, then yield.
#pragma once

#include <atomic>
#include <cstdint>

namespace xkt::host {

using SharedLockWord = std::atomic<uint32_t>;
static_assert(SharedLockWord::is_always_lock_free, "shared lock must be address-free");

// Takes the lock; returns true when it was taken over from a dead owner, so
// the caller can repair what the owner left half done.
bool lockShared(SharedLockWord& word);
void unlockShared(SharedLockWord& word);

class SharedLockGuard {
public:
    explicit SharedLockGuard(SharedLockWord& word) : word_(word), recovered_(lockShared(word)) {}
    ~SharedLockGuard() { unlockShared(word_); }
    SharedLockGuard(const SharedLockGuard&) = delete;
    SharedLockGuard& operator=(const SharedLockGuard&) = delete;
    bool recovered() const { return recovered_; }

private:
    SharedLockWord& word_;
    bool recovered_;
};

}  // namespace xkt::host
