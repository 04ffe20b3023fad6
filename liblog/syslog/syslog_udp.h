// The plain UDP transport and the datagram socket the others share.
#pragma once

#include <cstdint>
#include <netinet/in.h>

#include "syslog_transport.h"

namespace xkt::log {

// The UDP socket, created by the first line and kept; -1 until then.
// Guarded by syslogMutex().
extern int32_t g_syslogSocket;

// Creates g_syslogSocket when it is missing (0 or -1).
int32_t ensureUdpSocket();
// The collector's address, as sendto takes it.
sockaddr_in collectorAddress();

extern const SyslogTransport kUdpTransport;

}  // namespace xkt::log
