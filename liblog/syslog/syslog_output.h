// The syslog channel's output: the transport that carries its lines.
#pragma once

#include "syslog_transport.h"

namespace xkt::log {

// The transport selectedCarrier names (under SyslogLock).
const SyslogTransport& selectedTransport();

}  // namespace xkt::log
