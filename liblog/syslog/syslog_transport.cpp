// The syslog transports' shared state and the choice between them.
#include "syslog_transport.h"

#include <pthread.h>

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

SyslogCarrier selectedCarrier() {
    if (g_syslogAesKey[0] != 0) return SyslogCarrier::AesUdp;
    return g_iUseHttpsSyslog.load(std::memory_order_relaxed) == 1 ? SyslogCarrier::Tls
                                                                    : SyslogCarrier::Udp;
}

}  // namespace xkt::log
