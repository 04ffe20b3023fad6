// The write path's record building and record-line layouts, reachable by
// the tests without going through the Android log.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "xkt_log.h"

namespace xkt::log {

inline constexpr size_t kRecordLineSize = 2047;   // XKT_logWrite, XKT_logFormatWrite
inline constexpr size_t kAgentLineSize = 4096;    // android_log_write
inline constexpr size_t kWriteMessageMax = 759;   // characters XKT_logWrite keeps
inline constexpr uint32_t kRecordLengthBase = 265;

struct WriteRequest {
    const char* file;
    int32_t line;
    const char* function;
    int32_t code;
    LogType type;
    LogLevel level;
    const char* module;
};

// Fills record as XKT_logWrite does (sequence, time, thread id, texts,
// message cut at 759 characters, length).
void buildWriteRecord(LogRecord& record, const WriteRequest& request, const char* format,
                      va_list args);

// The record line of XKT_logWrite: the full layout, or the direct one.
// out holds kRecordLineSize bytes. Returns the line's length.
size_t formatWriteLine(const LogRecord& record, uint32_t ticks, int32_t code, bool direct,
                       char* out);
// The record line of XKT_logFormatWrite: the formatted layout, or the
// formatted direct one.
size_t formatFormattedLine(const LogRecord& record, uint32_t ticks, int32_t code, bool direct,
                           char* out);

}  // namespace xkt::log
