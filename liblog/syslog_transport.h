// The syslog channel's transports: plain UDP, AES-encrypted UDP and the TLS
// stream, with the collector address they share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

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
// The UDP socket, created by the first line and kept; -1 until then.
extern int32_t g_syslogSocket;
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

// One way of carrying a line to the collector. send runs on the caller's
// thread under SyslogLock, with the UDP socket made; 0 when the line was
// handed over, -1 otherwise.
struct SyslogTransport {
    const char* name;
    int32_t (*send)(const char* line, size_t length);
};
extern const SyslogTransport kUdpTransport;
extern const SyslogTransport kAesUdpTransport;
extern const SyslogTransport kTlsTransport;

// The transport the current key and TLS switch select (under SyslogLock).
const SyslogTransport& selectedTransport();

// UDP: creates g_syslogSocket when it is missing (0 or -1), and the
// collector's address as sendto takes it.
int32_t ensureUdpSocket();
sockaddr_in collectorAddress();

// The TLS stream's session, owned by whoever holds its lock.
bool tlsSessionConnected();
// A number that changes whenever the session is torn down from outside:
// an attempt that saw it change was interrupted, not refused.
uint32_t tlsSessionGeneration();
// Tears a live session down without counting as an outside teardown (the
// sender, after a failed write).
void dropTlsSession();

// The TLS lines wait here for the sender thread, so that a collector that
// is slow, silent or gone costs the log thread nothing.
inline constexpr size_t kSyslogQueueLines = 256;
int32_t queueTlsLine(const char* line, size_t length);
// The next line is tried at once: the collector or the session changed.
void wakeTlsSender();

struct SyslogSenderCounts {
    uint64_t queued;      // lines accepted into the queue
    uint64_t sent;        // lines written to a session
    uint64_t overflowed;  // lines refused because the queue was full
    uint64_t abandoned;   // queued lines given up (transport changed, write failed twice)
};
SyslogSenderCounts syslogSenderCounts();

}  // namespace xkt::log

extern "C" {
// Tears the TLS session down; nothing when it is not connected.
XKT_API void closeSyslogConnection(void);
// One AES-128-CBC datagram of line on the UDP socket; 0 or -1.
XKT_API int32_t sendEncryptedSyslog(int32_t socket, const char* line);
}
