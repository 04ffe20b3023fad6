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

// How long, at most, a line of the log thread waits to be written with the
// lines after it (see writeLogFileLine).
inline constexpr uint32_t kPendingLineMaxAgeMs = 10;

// XKT_logFileOutput for a text whose length the caller knows. With
// mayWait, the log thread's own lines may wait, in order, for the lines it
// reads right after them, so that one write(2) takes many: at most
// kPendingLineMaxAgeMs, and the thread calls flushLogFileLines before it
// pauses. Every other writer's line (and the rotation at a line) comes
// after the waiting ones, so the file's content is the same either way.
int32_t writeLogFileLine(const char* text, size_t length, bool mayWait = false);
// Writes the lines that wait.
void flushLogFileLines();

}  // namespace xkt::log
