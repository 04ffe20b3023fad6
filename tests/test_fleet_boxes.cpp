// Real xktlogd boxes against a private collector tier: every line written
// through XKT_logWrite reaches the box's file, and on TLS a box is known by
// its client certificate, or by its peer address without one.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "files.h"
#include "sandbox.h"

namespace xkt::test {
namespace {

const std::string kBoxes[] = {"02:01:00:00:00:00", "02:01:00:00:00:01"};

class FleetBoxesTest : public ::testing::Test {
protected:
    void SetUp() override {
        int status = -1;
        const std::string out = capture(tierCommand("start") + " 2>&1", &status);
        ASSERT_EQ(status, 0) << out;
    }
    void TearDown() override { capture(tierCommand("stop") + " 2>&1"); }

    std::string tierCommand(const std::string& verb) const {
        return "XKT_SYSLOG_DECRYPT=" + quoted(binDir() + "/xkt-syslog-decrypt") + " timeout 60 " +
               quoted(XKT_FLEET_SCRIPT) + " " + verb + " " + quoted(tier_);
    }

    // Two real boxes, 10 lines each; the run's last line.
    std::string runBoxes(const std::string& options) {
        return lastLine(capture("timeout 100 " + quoted(binDir() + "/xkt-fleet") + " run --dir " +
                                quoted(tier_) + " --xktlogd 2 --rate 10 --seconds 2 " + options +
                                " 2>&1"));
    }

    // Lines the boxes' writers wrote (they end in the run's token) in the
    // folder the tier keeps for host.
    long writtenLinesOf(const std::string& host) const {
        static const std::regex written(" \\[[0-9a-f]{16}\\]$");
        const std::string folder = tier_ + "/boxes/" + host;
        std::string all;
        for (const std::string& day : exists(folder) ? namesIn(folder) : std::vector<std::string>{}) {
            all += readFile(folder + "/" + day);
        }
        long lines = 0;
        for (const std::string& line : linesOf(all)) lines += std::regex_search(line, written);
        return lines;
    }

    Sandbox sandbox_;
    const std::string tier_ = sandbox_.path("/fleet");
};

TEST_F(FleetBoxesTest, EveryLineOfRealBoxesInItsMacsFile) {
    EXPECT_EQ(runBoxes("--transport udp"), "sent 20 received 20 stored 0 lost 0");
    for (const std::string& mac : kBoxes) EXPECT_EQ(writtenLinesOf(mac), 10) << mac;
}

TEST_F(FleetBoxesTest, TlsLinesFiledUnderTheCertificatesMacElseThePeer) {
    EXPECT_EQ(runBoxes("--transport tls --client-certs"), "sent 20 received 20 stored 0 lost 0");
    for (const std::string& mac : kBoxes) EXPECT_EQ(writtenLinesOf(mac), 10) << mac;
    EXPECT_EQ(writtenLinesOf("127.0.0.1"), 0);

    EXPECT_EQ(runBoxes("--transport tls"), "sent 20 received 20 stored 0 lost 0");
    EXPECT_EQ(writtenLinesOf("127.0.0.1"), 20);
    for (const std::string& mac : kBoxes) EXPECT_EQ(writtenLinesOf(mac), 10) << mac;
}

}  // namespace
}  // namespace xkt::test
