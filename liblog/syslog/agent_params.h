// The management agent numbers types and levels as syslog does (facilities
// and severities); these are its maps to the library's indices.
#pragma once

#include <array>
#include <cstdint>

#include "xkt_log.h"

namespace xkt::log {

// Agent level (syslog severity) to LogLevel; above 7: " NONE".
inline constexpr std::array<int32_t, 8> tmsLevelMap{0, 6, 6, 4, 6, 6, 2, 1};
// Agent type (syslog facility) to LogType; above 20: "None".
inline constexpr std::array<int32_t, 21> tmsTypeMap{0, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,
                                                    5, 5, 5, 5, 5, 2, 1, 5, 3, 4};
static_assert(tmsLevelMap.size() == 8 && tmsTypeMap.size() == 21);

constexpr int32_t localLevelOf(uint32_t agentLevel) {
    return agentLevel < tmsLevelMap.size() ? tmsLevelMap[agentLevel] : XKT_LOG_LEVEL_NONE;
}
constexpr int32_t localTypeOf(uint32_t agentType) {
    return agentType < tmsTypeMap.size() ? tmsTypeMap[agentType] : XKT_LOG_TYPE_NONE;
}

}  // namespace xkt::log
