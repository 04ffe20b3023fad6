// The log vocabulary (type and level names, Android priorities) and the
// per-process filter configuration.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string_view>

#include "xkt_log.h"

namespace xkt::log {

inline constexpr std::array<std::string_view, 6> kTypeNames{
    "All", "Run", "Oper", "Security", "User", "None"};
inline constexpr std::array<std::string_view, 7> kLevelNames{
    "  ALL", "DEBUG", " INFO", " WARN", "ERROR", "TRACE", " NONE"};
static_assert(kTypeNames.size() == XKT_LOG_TYPE_NONE + 1);
static_assert(kLevelNames.size() == XKT_LOG_LEVEL_NONE + 1);

inline constexpr std::string_view kInvalidType = "Invalid Type";
inline constexpr std::string_view kInvalidLevel = "Invalid Level";

// Name of a type or level; values beyond the tables get the invalid names,
// so no look-up ever reads outside a table.
constexpr std::string_view typeName(uint32_t type) {
    return type < kTypeNames.size() ? kTypeNames[type] : kInvalidType;
}
constexpr std::string_view levelName(uint32_t level) {
    return level < kLevelNames.size() ? kLevelNames[level] : kInvalidLevel;
}

// Android priorities (3 debug, 4 info, 5 warn, 6 error) by level: record
// lines of the write calls, and the management agent's lines, which never
// use the error priority.
inline constexpr int kPriorityDebug = 3;
inline constexpr int kPriorityInfo = 4;
inline constexpr int kPriorityWarn = 5;
inline constexpr int kPriorityError = 6;
inline constexpr std::array<int, 7> kWritePriority{
    kPriorityWarn, kPriorityDebug, kPriorityInfo, kPriorityWarn, kPriorityError,
    kPriorityWarn, kPriorityWarn};
inline constexpr std::array<int, 7> kAgentPriority{
    kPriorityWarn, kPriorityDebug, kPriorityInfo, kPriorityWarn, kPriorityWarn,
    kPriorityWarn, kPriorityWarn};

constexpr int writePriority(uint32_t level) {
    return level < kWritePriority.size() ? kWritePriority[level] : kPriorityWarn;
}
constexpr int agentPriority(uint32_t level) {
    return level < kAgentPriority.size() ? kAgentPriority[level] : kPriorityWarn;
}

inline constexpr size_t kModuleTextSize = 1024;
struct LogConfig {
    std::atomic<int32_t> inited{0};
    std::atomic<uint32_t> logType{0};
    std::atomic<uint32_t> logLevel{0};
    char modules[kModuleTextSize] = "ALL";  // configured text, see XKT_logFilterGet
};

extern LogConfig g_logConfig;

}  // namespace xkt::log
