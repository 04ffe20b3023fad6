// The default channel and the local file channel (channels 0 and 2).
#pragma once

#include <cstddef>
#include <cstdint>

namespace xkt::log {

// The local log files live here (under the box root).
inline constexpr const char* kLogDirectory = "/tmp/log";
// A file that has reached this size before a line is closed and replaced.
inline constexpr uint64_t kLogFileRotationSize = 127 * 1024;
// How long, at most, a line of the log thread waits to be written with the
// lines after it (see writeLogFileLine).
inline constexpr uint32_t kPendingLineMaxAgeMs = 10;

// XKT_logFileOutput for a text whose length the caller knows. With
// mayWait, the log thread's own lines may wait, in order, for the lines it
// reads right after them, so that one write(2) takes many: at most
// kPendingLineMaxAgeMs, after which a timer or the thread's next read
// writes them, and the thread calls flushLogFileLines before it pauses. Every other writer's line (and the rotation at a line) comes
// after the waiting ones, so the file's content is the same either way.
int32_t writeLogFileLine(const char* text, size_t length, bool mayWait = false);
// Writes the lines that wait.
void flushLogFileLines();
// Writes the lines that wait when the oldest has waited its time; cheap
// while none waits. The log thread calls it after every read, so lines wait
// no longer while the entries it reads reach no file (a timer sees to the
// same while it waits for the log).
void flushDueLogFileLines();

// Lines the file channel was handed but could not write whole (no file
// could be opened, or a short write such as on a full disk), since the
// process started. Any thread may read it.
uint64_t logFileLinesLost();

}  // namespace xkt::log
