// The fleet path end to end: collector/fleet.sh starts a private collector
// tier (its decrypt relay, and the store) on loopback, xkt-fleet sends 50
// boxes over UDP, AES-UDP and TLS, and every line must arrive, also through
// an outage of the store; the files and the query must keep each box's
// lines apart and keep lines the parser does not understand; the relay
// counts what it could not decrypt instead of passing it on. Real xktlogd
// boxes too: on TLS a box is known by its client certificate, or by its peer
// address without one.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>
#include <tuple>

#include "files.h"
#include "sandbox.h"

namespace xkt::test {
namespace {

std::string today() {
    char day[16];
    const time_t now = time(nullptr);
    tm utc{};
    strftime(day, sizeof day, "%Y%m%d.log", gmtime_r(&now, &utc));
    return day;
}


class FleetTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (started_) capture("timeout 30 " + quoted(XKT_FLEET_SCRIPT) + " stop " + quoted(tier()) + " 2>&1");
    }

    std::string tier() const { return sandbox_.path("/fleet"); }

    void fleetScript(const std::string& command, const std::string& option) {
        int status = -1;
        const std::string out = capture("XKT_SYSLOG_DECRYPT=" + quoted(binDir() + "/xkt-syslog-decrypt") +
                                            " timeout 60 " + quoted(XKT_FLEET_SCRIPT) + " " + command +
                                            " " + quoted(tier()) + option + " 2>&1", &status);
        started_ = true;
        ASSERT_EQ(status, 0) << command << ": " << out;
    }
    void startTier(bool store) { fleetScript("start", store ? " --store" : ""); }

    // xkt-fleet VERB --dir TIER OPTIONS (its output only: the query's is counted).
    std::string fleet(const std::string& verb, const std::string& options, int* status = nullptr) {
        const std::string program = quoted(binDir() + "/xkt-fleet") + " " + verb;
        return capture("timeout 100 " + program + " --dir " + quoted(tier()) + " " + options, status);
    }
    std::string query(const std::string& arguments) { return fleet("query", arguments); }

    // xkt-fleet run's last line, which must read sent N received N ... lost 0.
    void sendFleet(const std::string& transport, bool store) {
        int status = -1;
        const std::string out = fleet("run", "--boxes 50 --rate 1000 --seconds 2 --transport " + transport +
                                                 (store ? " --store" : "") + " 2>&1", &status);
        const std::string stored = store ? "2000" : "0";
        EXPECT_EQ(lastLine(out), "sent 2000 received 2000 stored " + stored + " lost 0") << transport << out;
        EXPECT_EQ(status, 0);
    }

    int envNumber(const std::string& key) {
        for (const std::string& line : linesOf(readFile(tier() + "/env"))) {
            if (line.rfind(key + "=", 0) == 0) return std::atoi(line.c_str() + key.size() + 1);
        }
        return 0;
    }

    void sendDatagram(const std::string& text, const char* portKey = "UDP_PORT") {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        const uint16_t port = static_cast<uint16_t>(envNumber(portKey));
        sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        close(fd);
    }

    Sandbox sandbox_;
    bool started_ = false;
};

// Each box's lines land in its own file, parsed; the query sees one box and
// the severities asked for; a line that does not parse is kept whole.
TEST_F(FleetTest, FilesPerBoxAndQueryWithoutStore) {
    ASSERT_NO_FATAL_FAILURE(startTier(false));
    for (const char* transport : {"udp", "aes", "tls"}) sendFleet(transport, false);

    for (int i = 0; i < 50; ++i) {
        char mac[18];
        std::snprintf(mac, sizeof mac, "02:00:00:00:00:%02x", i);
        EXPECT_TRUE(exists(tier() + "/boxes/" + mac)) << mac;
    }

    const std::string box = "02:00:00:00:00:07";
    const std::string all = query("--mac " + box);
    const std::string errors = query("--mac " + box + " --severity 3");
    EXPECT_NE(all.find(" " + box + " fac="), std::string::npos) << all;
    EXPECT_EQ(all.find("02:00:00:00:00:08"), std::string::npos);
    // The parser took file, line and code apart from the message.
    EXPECT_TRUE(std::regex_search(all, std::regex(" prog=STB_V100R002C20 file=[a-z_]+\\.cp*p* line=[1-9][0-9]* code=-?[0-9]+ [a-z]")))
        << all;
    EXPECT_LT(errors.size(), all.size());
    EXPECT_FALSE(std::regex_search(errors, std::regex(" sev=[4-7] "))) << errors;

    sendDatagram("<139>Dec 06 05:06:00 0a:0b:0c:0d:0e:0f STB_V1 no position here\n");
    EXPECT_TRUE(eventually([&] {
        return query("--mac 0a:0b:0c:0d:0e:0f").find("file=- line=0 code=0 no position here") !=
               std::string::npos;
    }));

    // The relay took the AES fleet's datagrams, and counts one that does not
    // decrypt without passing it on; SIGUSR1 asks for the counts.
    sendDatagram(std::string(48, 'x'), "RELAY_PORT");
    const std::string log = tier() + "/relay.log";
    const std::string counts = "received 2001 forwarded 2000 dropped 0 undecryptable 1\n";
    const pid_t relay = static_cast<pid_t>(std::atol(readFile(tier() + "/relay.pid").c_str()));
    ASSERT_GT(relay, 0);
    const auto counted = [&] { return kill(relay, SIGUSR1) == 0 && readFile(log).find(counts) != log.npos; };
    EXPECT_TRUE(eventually(counted)) << readFile(log);
}

TEST_F(FleetTest, EveryLineStoredOverEachTransport) {
    // CI's set-up unpacks it, so there a missing store is a fault, not a skip.
    const char* deps = std::getenv("XKT_FLEET_DEPS");
    const std::string dir = deps != nullptr ? deps : XKT_FLEET_DEFAULT_DEPS;
    if (!exists(dir + "/usr/sbin/clickhouse-server")) {
        if (std::getenv("CI") != nullptr) FAIL() << "ClickHouse is not unpacked (scripts/setup.sh does it)";
        GTEST_SKIP() << "ClickHouse is not unpacked: run collector/fleet.sh install";
    }
    ASSERT_NO_FATAL_FAILURE(startTier(true));
    for (const char* transport : {"udp", "aes", "tls"}) sendFleet(transport, true);
    const std::string rows = query("--mac 02:00:00:00:00:07 --severity 3");
    EXPECT_TRUE(std::regex_search(rows, std::regex("\t[03]\t(16|17|19|20)\tSTB_V100R002C20\t"))) << rows;
    EXPECT_FALSE(std::regex_search(rows, std::regex("^[^\n]*\t[4-7]\t(16|17|19|20)\t"))) << rows;

    // Lines received while the store is down are kept and sent when it is back.
    const auto rowsOfBox = [&] {
        const std::string all = query("--mac 02:00:00:00:00:07");
        return std::count(all.begin(), all.end(), '\n');
    };
    const long before = rowsOfBox();
    ASSERT_NO_FATAL_FAILURE(fleetScript("stop", " --store"));
    sendFleet("udp", false);
    ASSERT_NO_FATAL_FAILURE(fleetScript("start", ""));
    const std::string file = readFile(tier() + "/boxes/02:00:00:00:00:07/" + today());
    const long inFile = std::count(file.begin(), file.end(), '\n');
    EXPECT_GT(inFile, before);
    EXPECT_TRUE(eventually([&] { return rowsOfBox() == inFile; })) << rowsOfBox() << " of " << inFile;
}

const std::string kBoxes[] = {"02:01:00:00:00:00", "02:01:00:00:00:01"};

class FleetBoxesTest : public FleetTest {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(startTier(false)); }

    // Two real boxes, 10 lines each; the run's last line.
    std::string runBoxes(const std::string& transport) {
        return lastLine(fleet("run", "--xktlogd 2 --rate 10 --seconds 2 --transport " + transport + " 2>&1"));
    }

    // Lines the boxes' writers wrote (they end in a run's token) in the
    // folder the tier keeps for host.
    long writtenLinesOf(const std::string& host) const {
        static const std::regex written(" \\[[0-9a-f]{16}\\]$");
        const std::string folder = tier() + "/boxes/" + host;
        std::string all;
        for (const std::string& day : exists(folder) ? namesIn(folder) : std::vector<std::string>{}) {
            all += readFile(folder + "/" + day);
        }
        long lines = 0;
        for (const std::string& line : linesOf(all)) lines += std::regex_search(line, written);
        return lines;
    }
};

// One tier, three runs: the counts add up from run to run.
TEST_F(FleetBoxesTest, RealBoxesLinesFiledUnderTheCertificatesOrTheLinesMacElseThePeer) {
    const std::tuple<const char*, long, long> runs[] = {
        {"udp", 10, 0}, {"tls --client-certs", 20, 0}, {"tls", 20, 20}};
    for (const auto& [transport, perBox, underPeer] : runs) {
        EXPECT_EQ(runBoxes(transport), "sent 20 received 20 stored 0 lost 0") << transport;
        for (const std::string& mac : kBoxes) EXPECT_EQ(writtenLinesOf(mac), perBox) << transport << " " << mac;
        EXPECT_EQ(writtenLinesOf("127.0.0.1"), underPeer) << transport;
    }
}

}  // namespace
}  // namespace xkt::test
