// The process's settings: what initialisation and the host's parameter
// block set and every other unit reads, and the numbers they share. Depends
// on nothing of the library, so any unit may include it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "xkt_log.h"

namespace xkt::log {

// The channels the library itself fills.
inline constexpr int32_t kDefaultChannel = 0;
inline constexpr int32_t kLocalFileChannel = 2;
inline constexpr int32_t kSyslogChannel = 3;
inline constexpr int32_t kErrorLogChannel = 4;

// "1" once a managing process has taken over: set by initialisation, read
// by every filter call until this process has seen it.
inline constexpr const char* kTakeoverProperty = "xkt.log.mgmttakeover";

// 1 when the environment variable DIRECTOUTPUTLOG existed at initialisation:
// record lines then use the short layouts.
extern std::atomic<int32_t> g_iDirectOutputLog;
// 1: the log thread reads through the logcat reader and feeds channel 4
// (Android generations above 2); 0: it reads the log devices.
extern std::atomic<int32_t> g_iLogcatMode;
// 1: syslog goes over TLS (from the host's parameter block).
extern std::atomic<int32_t> g_iUseHttpsSyslog;
// The box's MAC address, 17 characters with colons; written by
// initialisation before the log thread starts.
inline constexpr size_t kMacStringSize = 32;
extern char g_macString[kMacStringSize];
// Guards the local log file; created by initialisation, 0 when none.
extern std::atomic<uint32_t> g_logFileMutex;

// Reads an exported setting that the host may write from another thread.
inline int32_t readSetting(const int32_t& setting) {
    return __atomic_load_n(&setting, __ATOMIC_RELAXED);
}
inline void writeSetting(int32_t& setting, int32_t value) {
    __atomic_store_n(&setting, value, __ATOMIC_RELAXED);
}

}  // namespace xkt::log
