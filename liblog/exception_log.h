// The exception log's paths and the export's timer, shared by its capture
// and its export to flash.
#pragma once

#include <cstdint>

namespace xkt::log {

inline constexpr const char* kExpTmpDirectory = "/tmp/DQN";
inline constexpr const char* kTombstoneDirectory = "/data/tombstones";

// Adds the repeating export timer. 0, or -1 when the timer service refuses
// it ("add timer failed" written).
int32_t armExpLogExport();

}  // namespace xkt::log
