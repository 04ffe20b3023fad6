// The TLS stream's session: connect, handshake, write and teardown.
#pragma once

#include <cstdint>

namespace xkt::log {

// The session, owned by whoever holds its lock.
bool tlsSessionConnected();
// A number that changes whenever the session is torn down from outside:
// an attempt that saw it change was interrupted, not refused.
uint32_t tlsSessionGeneration();
// Tears a live session down without counting as an outside teardown (the
// sender, after a failed write).
void dropTlsSession();
// Tears the session down from outside: a connect, handshake or write in
// progress on another thread ends at once.
void interruptTlsSession();

}  // namespace xkt::log
