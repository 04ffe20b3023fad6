// What the management agent calls: the syslog collector and tag, its own
// log messages, and the maps between its numbering and the library's.
#include "agent_params.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "android/log.h"
#include "bounded_text.h"
#include "errno_guard.h"
#include "syslog_format.h"
#include "syslog_sender.h"
#include "syslog_transport.h"
#include "xkt_osal.h"

using namespace xkt::log;

namespace {

constexpr size_t kAgentTextSize = 4096;

// The server text: "address" or "address:port". Called under the lock.
void takeServer(const char* server) {
    g_syslogPort = kDefaultSyslogPort;
    std::memset(g_syslogServer, 0, sizeof g_syslogServer);
    const char* colon = std::strchr(server, ':');
    if (colon == nullptr) {
        copyText(g_syslogServer, server);
        return;
    }
    const size_t addressChars = static_cast<size_t>(colon - server);
    copyText(g_syslogServer, server,
             addressChars < sizeof g_syslogServer - 1 ? addressChars : sizeof g_syslogServer - 1);
    // A port that is no number gives 0, which stops the output until the
    // next server.
    g_syslogPort = static_cast<uint16_t>(std::atoi(colon + 1));
}

}  // namespace

extern "C" XKT_API int32_t XKT_setCPESysLogParam(const char* tagPrefix, const char* reserved,
                                                 const char* server) {
    const ErrnoGuard keepErrno;
    (void)reserved;
    __android_log_print(ANDROID_LOG_DEBUG, "LOG", "Log:LOG Module set syslog param\n");
    {
        // The log thread formats with these texts: change them under the
        // syslog lock and tell it they moved.
        SyslogLock identityLock;
        if (tagPrefix != nullptr && tagPrefix[0] != '\0') {
            std::memset(g_syslogTagPrefix, 0, sizeof g_syslogTagPrefix);
            copyText(g_syslogTagPrefix, tagPrefix);
        } else if (g_syslogTagPrefix[0] == '\0') {
            copyText(g_syslogTagPrefix, "null");
        }
        std::memset(g_softwareVersion, 0, sizeof g_softwareVersion);
        XKT_property_get("ro.software", g_softwareVersion, sizeof g_softwareVersion);
        g_syslogIdentityVersion.fetch_add(1, std::memory_order_release);
    }

    if (server == nullptr || server[0] == '\0') return 0;
    SyslogLock lock;
    // Even the same server gets a fresh session: the agent may have changed
    // the collector's certificate behind the same address.
    closeSyslogConnection();
    takeServer(server);
    return 0;
}

extern "C" XKT_API void XKT_cpeAgentLogWrite(const char* file, int32_t line, const char* function,
                                             int32_t value, uint32_t agentType,
                                             uint32_t agentLevel, const char* module,
                                             const char* format, ...) {
    // The agent's errno travels in the line's "code:" field.
    const ErrnoGuard callerErrno;
    if (format == nullptr) return;
    char text[kAgentTextSize] = {};
    va_list args;
    va_start(args, format);
    const int produced = vsnprintf_s(text, sizeof text, sizeof text - 1, format, args);
    va_end(args);
    if (produced < 1 || static_cast<size_t>(produced) > sizeof text - 1) return;
    text[produced] = '\0';
    errno = callerErrno.saved();
    // "%s": the text is formatted once, so a '%' in it stays a '%'.
    android_log_write(file, line, function, value, static_cast<LogType>(localTypeOf(agentType)),
                      static_cast<LogLevel>(localLevelOf(agentLevel)), module, "%s", text);
}

extern "C" XKT_API int32_t XKT_swapTMSLogLevel(uint32_t agentLevel) {
    return localLevelOf(agentLevel);
}

extern "C" XKT_API int32_t XKT_swapTMSLogType(uint32_t agentType) {
    return localTypeOf(agentType);
}

// The syslog format's own tables, read through its PRI: type "All" has
// facility 0 and level "  ALL" severity 0, so the PRI of either alone is the
// other's table entry. The bounds are the tables' ("None" has no entry).
extern "C" XKT_API int32_t XKT_swapLocalLogLevel(uint32_t level) {
    return level < XKT_LOG_LEVEL_NONE ? XKT_getLocalLogPRI(level, XKT_LOG_TYPE_ALL) : -1;
}

extern "C" XKT_API int32_t XKT_swapLocalLogType(uint32_t type) {
    return type < XKT_LOG_TYPE_NONE ? XKT_getLocalLogPRI(XKT_LOG_LEVEL_ALL, type) / 8 : -1;
}
