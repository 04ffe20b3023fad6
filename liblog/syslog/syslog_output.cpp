// The syslog channel's output: one line per call, to one collector, by the
// transport that the key and the TLS switch select.
#include "syslog_output.h"

#include <array>
#include <cstring>

#include "errno_guard.h"
#include "syslog_aes_udp.h"
#include "syslog_sender.h"
#include "syslog_udp.h"

namespace xkt::log {

namespace {

// By SyslogCarrier.
constexpr std::array<const SyslogTransport*, 3> kTransportByCarrier{
    &kUdpTransport, &kTlsTransport, &kAesUdpTransport};

}  // namespace

const SyslogTransport& selectedTransport() {
    return *kTransportByCarrier[static_cast<size_t>(selectedCarrier())];
}

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_SysLogOutput(const char* line) {
    const ErrnoGuard keepErrno;
    if (line == nullptr || line[0] == '\0') return -1;
    SyslogLock lock;
    if (g_syslogServer[0] == '\0' || g_syslogPort == 0) return -1;
    // Whatever the transport, as the box does: the socket exists in TLS mode too.
    if (ensureUdpSocket() != 0) return -1;
    return selectedTransport().send(line, std::strlen(line));
}
