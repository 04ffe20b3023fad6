// The plain UDP transport: the formatted line as one datagram, on a socket
// made by the first line and kept for the life of the process.
#include <arpa/inet.h>

#include "syslog_udp.h"

#include "syslog_transport.h"
#include "xkt_osal.h"

namespace xkt::log {

int32_t g_syslogSocket = -1;

int32_t ensureUdpSocket() {
    if (g_syslogSocket >= 0) return 0;
    g_syslogSocket = XKT_sock_socket(XKT_SOCK_AF_INET, XKT_SOCK_DGRAM, 0);
    if (g_syslogSocket < 0) return -1;
    const int32_t reuse = 1;
    constexpr int32_t kSolSocket = 1;
    constexpr int32_t kSoReuseAddr = 2;
    if (XKT_sock_setsockopt(g_syslogSocket, kSolSocket, kSoReuseAddr, &reuse, sizeof reuse) == -1) {
        XKT_sock_close(g_syslogSocket);
        g_syslogSocket = -1;
        return -1;
    }
    return 0;
}

sockaddr_in collectorAddress() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(g_syslogPort);
    address.sin_addr.s_addr = XKT_sock_inetaddr(g_syslogServer);
    return address;
}

namespace {

// A datagram socket does not wait for the collector: this runs on the log
// thread itself.
int32_t sendPlainDatagram(const char* line, size_t length) {
    const sockaddr_in address = collectorAddress();
    return XKT_sock_sendto(g_syslogSocket, line, static_cast<uint32_t>(length), 0, &address,
                           sizeof address) < 0
               ? -1
               : 0;
}

}  // namespace

const SyslogTransport kUdpTransport{"udp", sendPlainDatagram};

}  // namespace xkt::log
