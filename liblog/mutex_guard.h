// Scoped lock over a platform mutex handle, so every early return unlocks.
#pragma once

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
