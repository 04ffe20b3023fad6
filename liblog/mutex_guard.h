// Scoped lock over a platform mutex handle, so every early return unlocks.
#pragma once

#include <cstdint>

#include "xkt_osal.h"

namespace xkt::log {

class MutexGuard {
public:
    explicit MutexGuard(uint32_t handle) : handle_(handle) {
        if (handle_ != 0) XKT_mutex_lock(handle_);
    }
    ~MutexGuard() {
        if (handle_ != 0) XKT_mutex_unlock(handle_);
    }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    uint32_t handle_;
};

}  // namespace xkt::log
