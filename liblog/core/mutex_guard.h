// Scoped lock over a platform mutex handle, so every early return unlocks.
#pragma once

#include <atomic>
#include <cstdint>

#include "xkt_osal.h"

namespace xkt::log {

class MutexGuard {
public:
    explicit MutexGuard(uint32_t handle)
        : handle_(handle), locked_(handle != 0 && XKT_mutex_lock(handle) == 0) {}
    ~MutexGuard() {
        if (locked_) XKT_mutex_unlock(handle_);
    }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

    // False for no handle or one already destroyed.
    bool locked() const { return locked_; }

private:
    uint32_t handle_;
    bool locked_;
};

// The mutex in slot, made there first when there is none. 0 when no mutex
// can be made. Two first callers may race; the loser's mutex is dropped.
inline uint32_t mutexMadeOnce(std::atomic<uint32_t>& slot) {
    uint32_t current = slot.load(std::memory_order_acquire);
    if (current != 0) return current;
    const uint32_t made = XKT_mutex_create();
    if (made == 0) return 0;
    if (!slot.compare_exchange_strong(current, made, std::memory_order_acq_rel)) {
        XKT_mutex_destroy(made);
        return current;
    }
    return made;
}

// A platform mutex made on first use and never destroyed: a thread may
// still take it while the process runs its exit handlers. Constant
// initialised, so a static one is usable from any other static's
// initialisation. Not recursive: a thread that holds it must not take it
// again (the platform's lock refuses, and the guard then holds nothing).
class LazyMutex {
public:
    constexpr LazyMutex() = default;
    LazyMutex(const LazyMutex&) = delete;
    LazyMutex& operator=(const LazyMutex&) = delete;

    // 0 when no mutex can be made.
    uint32_t handle() { return mutexMadeOnce(handle_); }
    // In a child of fork: a thread of the parent may have held the mutex at
    // the fork and is not there to release it, so the child makes its own.
    // Only a store, so it is safe in a pthread_atfork handler.
    void forgetInChild() { handle_.store(0, std::memory_order_relaxed); }

    // BasicLockable, for std::condition_variable_any.
    void lock() { XKT_mutex_lock(handle()); }
    void unlock() { XKT_mutex_unlock(handle()); }

private:
    std::atomic<uint32_t> handle_{0};
};

// Destroys a lock that other threads may still use: one lock and unlock
// first waits out a holder (destroying a held lock is undefined) and orders
// the destroy after every earlier use. The caller has already made the
// handle unreachable for new users.
inline void destroyWhenFree(uint32_t handle) {
    XKT_mutex_lock(handle);
    XKT_mutex_unlock(handle);
    XKT_mutex_destroy(handle);
}

}  // namespace xkt::log
