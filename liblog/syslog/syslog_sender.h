// The TLS transport: lines wait in a bounded queue for the sender thread,
// so that a collector that is slow, silent or gone costs the log thread
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "syslog_transport.h"

namespace xkt::log {

extern const SyslogTransport kTlsTransport;

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
// Tears the TLS session down and lets the sender try again at once; nothing
// when it is not connected.
XKT_API void closeSyslogConnection(void);
}
