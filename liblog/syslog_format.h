// The syslog line layouts: texts the management agent sets for them.
#pragma once

#include <atomic>
#include <cstdint>

#include <cstddef>
#include <cstdint>

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

}  // namespace xkt::log
