// Conversion of Android log entries into channel items (the exported
// convertLogEntry family is declared in xkt_log.h), and the log thread's
// fast form of it for the logcat reader's lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "xkt_log.h"
#include "xkt_utility.h"

namespace xkt::log {

// A device entry's little-endian header ahead of its payload; a record line
// read from the logcat reader starts this many characters into its line.
inline constexpr int32_t kDeviceHeaderSize = 20;

// convertLogEntry of one line of the logcat reader's text (no NUL in it),
// for the log thread: it writes the item's bytes up to its NUL and nothing
// behind them, and returns how many, so that the caller clears only what an
// earlier, longer item left. 0 when the line is dropped; item is untouched.
size_t convertLogcatLine(LogRecord& item, std::string_view line,
                         const XKT_LogcatEntry& descriptor, int32_t& recordKind);

}  // namespace xkt::log
