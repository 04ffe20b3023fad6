// The exception log's paths and the export's timer, shared by its capture
// and its export to flash.
#pragma once

#include <cstdint>

namespace xkt::log {

inline constexpr const char* kExpTmpDirectory = "/tmp/DQN";
inline constexpr const char* kTombstoneDirectory = "/data/tombstones";

// XKT_ExpLogInit's part before the export: the directories, the lock and
// the cleared name list. 0, or -1 with the reason written.
int32_t prepareExpLogCapture();

// Stops every logcat collector still running (XKT_logDeinit's part): a
// collector must not outlive the library's use, whatever its timer does.
void stopCollectors();

}  // namespace xkt::log
