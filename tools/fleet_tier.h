// The collector tier xkt-fleet works against, as collector/fleet.sh
// describes it in DIR/env: its ports, its store, and the lines it filed.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace xkt::fleet {

struct Tier {
    std::string dir;
    uint16_t udpPort = 0;
    uint16_t tlsPort = 0;
    uint16_t storeHttpPort = 0;
    std::string storeTable = "boxlog";  // boxlog_all on a sharded store
    std::string caFile;
    uint16_t relayPort = 0;  // the AES decrypt relay in front of the UDP port
    std::string keyFile;
};

// DIR/env read into tier; false when it names no UDP and TLS port.
bool readTier(const std::string& dir, Tier& tier);

sockaddr_in loopback(uint16_t port);
// A TCP connection to 127.0.0.1:port, or -1.
int connectLoopback(uint16_t port);

// The body of the answer to one SQL statement over ClickHouse's HTTP
// interface; false on any failure.
bool storeQuery(uint16_t port, const std::string& sql, std::string& body);
// Rows in the tier's table (only those whose message holds token, when
// one is given), or -1 when the store does not answer.
long storedRows(const Tier& tier, const std::string& token = {});

// The names in a folder but . and .., sorted.
std::vector<std::string> listDir(const std::string& dir);
long countLines(const std::string& path);
// Lines in all the per-MAC files of the tier (only those holding token,
// when one is given).
long receivedLines(const std::string& tierDir, const std::string& token = {});

}  // namespace xkt::fleet
