// The log thread's handling of one log device entry, reachable by the tests
// with forged bytes that no log device would hand out.
#pragma once

#include <cstdint>

#include "xkt_log.h"

namespace xkt::log {

inline constexpr int32_t kDeviceHeaderSize = 20;

// The entry's 20-byte little-endian header.
LogDeviceHeader decodeDeviceHeader(const char* entry);

// Converts the entry of bytesRead bytes that a log device read left in
// entry (1288 bytes). It is considered only when its header's payload length
// is what was read behind the header, and at least 3. 0 when item holds a
// converted item, -1 when the entry is dropped.
int32_t takeDeviceEntry(void* item, const char* entry, int32_t bytesRead, int32_t* recordKind);

}  // namespace xkt::log
