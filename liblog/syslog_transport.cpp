// The syslog channel's output: one line per call, to one collector, by the
// transport that the key and the TLS switch select.
#include "syslog_transport.h"

#include <array>
#include <cstring>
#include <pthread.h>

#include "errno_guard.h"
#include "log_settings.h"
#include "xkt_securec.h"

namespace xkt::log {

char g_syslogServer[kSyslogServerSize] = {};
uint16_t g_syslogPort = kDefaultSyslogPort;
uint8_t g_syslogAesKey[XKT_LOG_AES_KEY_SIZE] = {};

LazyMutex& syslogMutex() {
    static LazyMutex mutex;
    // A child of fork has no log thread to release it.
    static const int forkHook = pthread_atfork(nullptr, nullptr, [] { mutex.forgetInChild(); });
    static_cast<void>(forkHook);
    return mutex;
}

int32_t setSyslogKey(const uint8_t* key) {
    return memcpy_s(g_syslogAesKey, sizeof g_syslogAesKey, key, sizeof g_syslogAesKey) == 0 ? 0 : -1;
}

void forgetSyslogKey() { memset_s(g_syslogAesKey, sizeof g_syslogAesKey, 0, sizeof g_syslogAesKey); }

namespace {

// By (key set, TLS switch on): the key wins over the switch, and a switch
// other than 1 means UDP (with the structured layout, see the formatter).
constexpr std::array<const SyslogTransport*, 4> kTransportByChoice{
    &kUdpTransport, &kTlsTransport, &kAesUdpTransport, &kAesUdpTransport};

}  // namespace

const SyslogTransport& selectedTransport() {
    const bool keyed = g_syslogAesKey[0] != 0;
    const bool tls = g_iUseHttpsSyslog.load(std::memory_order_relaxed) == 1;
    return *kTransportByChoice[(keyed ? 2u : 0u) + (tls ? 1u : 0u)];
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
