#include "spin_lock.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sched.h>

#include "process_ids.h"

namespace xkt::host {

namespace {

constexpr int kSpinsBeforeYield = 100;
constexpr int kYieldsBetweenOwnerChecks = 1000;

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
    asm volatile("yield");
#endif
}

// A zombie owner is gone too: it answers kill(pid, 0), and its parent may be
// the very process waiting here before it reaps it.
bool isZombie(uint32_t pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) return false;
    char line[512];
    size_t n = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[n] = '\0';
    const char* paren = std::strrchr(line, ')');
    return paren != nullptr && paren[1] == ' ' && (paren[2] == 'Z' || paren[2] == 'X');
}

bool ownerIsGone(uint32_t owner) {
    if (owner == 0) return false;
    if (kill(static_cast<pid_t>(owner), 0) != 0) return errno == ESRCH;
    return isZombie(owner);
}

}  // namespace

bool lockShared(SharedLockWord& word) {
    const auto self = static_cast<uint32_t>(currentPid());
    uint32_t expected = 0;
    if (word.compare_exchange_strong(expected, self, std::memory_order_acquire)) return false;

    for (int yields = 0;; ) {
        for (int spin = 0; spin < kSpinsBeforeYield; ++spin) {
            expected = 0;
            if (word.load(std::memory_order_relaxed) == 0 &&
                word.compare_exchange_weak(expected, self, std::memory_order_acquire)) {
                return false;
            }
            cpuRelax();
        }
        sched_yield();
        if (++yields % kYieldsBetweenOwnerChecks != 0) continue;
        uint32_t owner = word.load(std::memory_order_relaxed);
        if (ownerIsGone(owner) &&
            word.compare_exchange_strong(owner, self, std::memory_order_acquire)) {
            return true;
        }
    }
}

void unlockShared(SharedLockWord& word) { word.store(0, std::memory_order_release); }

}  // namespace xkt::host
