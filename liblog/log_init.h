// Process-wide settings that initialisation sets and the other units read.
#pragma once

#include <atomic>
#include <cstdint>

namespace xkt::log {

// 1 when the environment variable DIRECTOUTPUTLOG existed at initialisation:
// record lines then use the short layouts.
extern std::atomic<int32_t> g_iDirectOutputLog;

// Reads an exported setting that the host may write from another thread.
inline int32_t readSetting(const int32_t& setting) {
    return __atomic_load_n(&setting, __ATOMIC_RELAXED);
}

}  // namespace xkt::log
