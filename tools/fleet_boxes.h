// What xkt-fleet's own boxes need beyond the simulated ones: client
// certificates that name a box's MAC, and boxes that are real xktlogd
// processes with a writer beside them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace xkt::fleet {

// DEST/client.pem and DEST/client.key: a fresh key and a certificate whose
// CN is mac, signed by the tier's CA (TIER/tls/ca.pem and ca.key), which
// is the pair a box keeps as /data/xktlog/tls/client.pem and client.key.
bool writeClientCertificate(const std::string& tierDir, const std::string& mac,
                            const std::string& dest);

struct DaemonFleet {
    std::string tierDir;
    std::string caFile;
    uint16_t port = 0;  // the tier's UDP or TLS port
    bool tls = false;
    std::string aesKey;  // 32 hex digits: the boxes encrypt, port is the tier's relay
    bool clientCerts = false;
    long boxes = 0;
    long rate = 0;  // lines a second from the whole fleet
    long seconds = 0;
};

// Starts one xktlogd per box, each under DIR/xktlogd/box-N with its own
// MAC and channel 3 pointed at the tier, then a writer in each root that
// writes its share of the lines through XKT_logWrite, every message
// ending in token. Once the writers are done, collect(sent) runs while the
// daemons still do (it waits for the lines at the tier); then every
// process is stopped. Returns the lines the writers' library accepted, or
// -1 when a box did not start.
long runDaemonFleet(const DaemonFleet& fleet, const std::string& token,
                    const std::function<void(long sent)>& collect);

}  // namespace xkt::fleet
