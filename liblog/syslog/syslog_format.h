// The syslog line layouts: texts the management agent sets for them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "xkt_log.h"

namespace xkt::log {

inline constexpr size_t kSyslogTextSize = 64;

// Set by the management agent (XKT_setCPESysLogParam); empty until then.
// Written with a bounded copy and read by the log thread without a lock.
extern char g_syslogTagPrefix[kSyslogTextSize];
extern char g_softwareVersion[kSyslogTextSize];  // the property "ro.software"
// Moves (under the syslog lock) whenever the agent rewrites the two texts
// above, so the log thread re-reads them only then, under the same lock.
extern std::atomic<uint32_t> g_syslogIdentityVersion;

inline constexpr size_t kUnknownLength = SIZE_MAX;

// XKT_SyslogFormatter for a caller that knows the length of the item's text
// (a record's message or the plain line; kUnknownLength when it does not):
// the same line, without measuring the text again, and lineLength receives
// the line's length. Nothing is written behind the line's NUL.
int32_t formatSyslogLine(const void* item, char* out, int32_t recordKind, size_t textLength,
                         size_t& lineLength);

// The classic line (XKT_SyslogFormatter's, whatever the transport) of a
// box whose MAC address text is mac instead of g_macString: a simulator
// formats the lines of many boxes in one process. The same bytes otherwise.
int32_t formatClassicLineAs(const char* mac, const void* item, char* out, int32_t recordKind,
                            size_t& lineLength);

// The classic line in front of the line feed: "<pri>Mmm dd hh:mm:ss ",
// the MAC address, the agent's identity and, when record has a line and a
// file, "file:line code:n ", then the message, cut so that the line holds
// at most lineMax characters (at least 1021). Writes the NUL; returns where
// it stands. cut tells whether the message was cut.
char* composeClassicLine(char* out, size_t lineMax, int32_t pri, const LogRecord* record,
                         std::string_view message, const LogTime& time, bool& cut);

// The time stamp every line layout uses: UTC when g_iLogUseUTCTime is set,
// local time otherwise. false when the clock gives no usable time.
bool readClockTime(LogTime& time);

}  // namespace xkt::log
