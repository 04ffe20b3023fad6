// What the syslog channel's transports share: the collector's address, the
// key, the lock over both, and the shape of a transport.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mutex_guard.h"
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
// 16-byte syslog key; a first byte of 0 means no key is set. Guarded by
// syslogMutex().
extern uint8_t g_syslogAesKey[XKT_LOG_AES_KEY_SIZE];

// Guards the server, the port, the key, the UDP socket and the tag texts.
// Held only for moments: the TLS stream's slow work (connect, handshake,
// write) runs under a lock of its own, so neither the log thread nor a
// setter waits for a collector. Nothing called under it takes it again.
LazyMutex& syslogMutex();

class SyslogLock {
public:
    SyslogLock() : guard_(syslogMutex().handle()) {}

private:
    MutexGuard guard_;
};

// Under SyslogLock: the key that selects the encrypted datagrams (0, or -1
// for a null key), and no key.
int32_t setSyslogKey(const uint8_t* key);
void forgetSyslogKey();

// The way the current key and TLS switch select (under SyslogLock): the key
// wins over the switch, and a switch other than 1 means UDP (with the
// structured layout, see the formatter).
enum class SyslogCarrier : uint8_t { Udp, Tls, AesUdp };
SyslogCarrier selectedCarrier();

// One way of carrying a line to the collector. send runs on the caller's
// thread under SyslogLock, with the UDP socket made; 0 when the line was
// handed over, -1 otherwise.
struct SyslogTransport {
    const char* name;
    int32_t (*send)(const char* line, size_t length);
};

}  // namespace xkt::log
