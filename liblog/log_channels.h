// The default channel and the local file channel (channels 0 and 2).
#pragma once

#include <cstddef>
#include <cstdint>

namespace xkt::log {

// The local log files live here (under the box root).
inline constexpr const char* kLogDirectory = "/tmp/log";
// A file that has reached this size before a line is closed and replaced.
inline constexpr uint64_t kLogFileRotationSize = 127 * 1024;
// How often, at most, the file channel looks whether its file is still on
// disk. A line written within this window after the file vanished is lost
// with the unlinked file; a line after it starts a new file.
inline constexpr uint32_t kLogFileCheckIntervalMs = 10;
// At most one "fwrite failed" report per this period: the report travels
// back through channel 2 and would otherwise keep a full disk busy.
inline constexpr uint32_t kWriteFailureReportMs = 1000;

// XKT_logFileOutput for a text whose length the caller knows.
int32_t writeLogFileLine(const char* text, size_t length);

}  // namespace xkt::log
