// The AES-encrypted UDP transport.
#pragma once

#include <cstdint>

#include "syslog_transport.h"

namespace xkt::log {

extern const SyslogTransport kAesUdpTransport;

}  // namespace xkt::log

extern "C" {
// One AES-128-CBC datagram of line on the UDP socket; 0 or -1.
XKT_API int32_t sendEncryptedSyslog(int32_t socket, const char* line);
}
