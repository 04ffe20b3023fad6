// The syslog channel's transports: plain UDP, AES-encrypted UDP and the TLS
// stream, with the collector address they share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "xkt_log.h"

namespace xkt::log {

inline constexpr size_t kSyslogServerSize = 256;
inline constexpr uint16_t kDefaultSyslogPort = 514;
inline constexpr const char* kSyslogCaFile =
    "/system/iptv/setting/security/cacerts/ca_tracelog.pem";

// The collector, as a dotted IPv4 text (empty: not configured) and a port in
// host order. Guarded by syslogMutex().
extern char g_syslogServer[kSyslogServerSize];
extern uint16_t g_syslogPort;
// The UDP socket, created by the first line and kept; -1 until then.
extern int32_t g_syslogSocket;

// Serialises the log thread's send with the teardown of the TLS session and
// with the writers of the server, port and key on the host's and the agent's
// threads. Recursive, so a registration can hold it across its own call of
// closeSyslogConnection and its key write.
std::recursive_mutex& syslogMutex();

class SyslogLock {
public:
    SyslogLock() : guard_(syslogMutex()) {}

private:
    std::lock_guard<std::recursive_mutex> guard_;
};

}  // namespace xkt::log

extern "C" {
// Tears the TLS session down; nothing when it is not connected.
XKT_API void closeSyslogConnection(void);
// One AES-128-CBC datagram of line on the UDP socket; 0 or -1.
XKT_API int32_t sendEncryptedSyslog(int32_t socket, const char* line);
}
