// The syslog line layouts: texts the management agent sets for them.
#pragma once

#include <cstddef>

namespace xkt::log {

inline constexpr size_t kSyslogTextSize = 64;

// Set by the management agent (XKT_setCPESysLogParam); empty until then.
// Written with a bounded copy and read by the log thread without a lock.
extern char g_syslogTagPrefix[kSyslogTextSize];
extern char g_softwareVersion[kSyslogTextSize];  // the property "ro.software"

}  // namespace xkt::log
