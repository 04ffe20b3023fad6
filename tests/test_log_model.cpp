// Channel registration, the syslog key and the filter's reset.
#include <gtest/gtest.h>

#include <cstring>

#include "channel_table.h"
#include "sandbox.h"
#include "syslog_transport.h"
#include "xkt_log.h"

using namespace xkt::log;

namespace {

int32_t formatA(const void*, char*, int32_t) { return 0; }
int32_t formatB(const void*, char*, int32_t) { return 0; }
int32_t outputA(const char*) { return 0; }
int32_t outputB(const char*) { return 0; }

const uint8_t kKey[16] = {0x11, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t kNoKey[16] = {};

class LogModelTest : public xkt::test::SandboxTest {};

}  // namespace

// Indexes 0 to 6 only. The monitor registration takes channel 3 and a key;
// any other registration forgets the key, a key update leaves the table alone.
TEST_F(LogModelTest, RegistrationKeepsPairsInTheTableAndTheKeyOnlyWithTheMonitor) {
    EXPECT_EQ(0, XKT_logRegCallback(0, formatA, outputA));
    EXPECT_EQ(0, XKT_logRegCallback(6, nullptr, outputB));
    EXPECT_EQ(-1, XKT_logRegCallback(7, formatB, outputB));
    EXPECT_EQ(-1, XKT_logRegCallback(-1, formatB, outputB));
    EXPECT_EQ(formatA, channelAt(0).formatter);
    EXPECT_EQ(outputA, channelAt(0).output);
    EXPECT_EQ(outputB, channelAt(6).output);
    EXPECT_EQ(nullptr, channelAt(7).output);

    ASSERT_EQ(0, XKT_logRegSTBMonitorCallback(3, formatA, outputA, kKey));
    EXPECT_EQ(-1, XKT_logRegSTBMonitorCallback(2, formatB, outputB, kKey));
    EXPECT_EQ(-1, XKT_logRegSTBMonitorCallback(3, formatB, outputB, nullptr));
    EXPECT_EQ(formatA, channelAt(3).formatter);
    EXPECT_EQ(nullptr, channelAt(2).formatter);
    EXPECT_EQ(0, std::memcmp(kKey, g_syslogAesKey, 16));
    EXPECT_EQ(0, XKT_logRegCallback(1, formatB, outputB));
    EXPECT_EQ(0, std::memcmp(kNoKey, g_syslogAesKey, 16));
    EXPECT_EQ(formatA, channelAt(3).formatter);  // channel 3 itself untouched

    EXPECT_EQ(0, XKT_logRegCallback(3, formatB, outputB));
    EXPECT_EQ(0, XKT_logRegAeskeyUpdateCallback(kKey));
    EXPECT_EQ(0, std::memcmp(kKey, g_syslogAesKey, 16));
    EXPECT_EQ(formatB, channelAt(3).formatter);
    EXPECT_EQ(-1, XKT_logRegAeskeyUpdateCallback(nullptr));

    clearChannels();
    EXPECT_EQ(nullptr, channelAt(0).formatter);
    EXPECT_EQ(nullptr, channelAt(6).output);
}

TEST_F(LogModelTest, FilterInitResetsTheConfiguredFilter) {
    XKT_logFilterSetType(3);
    XKT_logFilterSetLevel(4);
    LogType type = 99;
    LogLevel level = 99;
    char modules[64] = "junk";
    EXPECT_EQ(0, XKT_logFilterInit());
    ASSERT_EQ(0, XKT_logFilterGet(&type, &level, modules));
    EXPECT_EQ("0 0 ALL", std::to_string(type) + " " + std::to_string(level) + " " + modules);

    EXPECT_EQ(-1, XKT_logFilterGet(nullptr, &level, modules));
    EXPECT_EQ(-1, XKT_logFilterGet(&type, nullptr, modules));
    EXPECT_EQ(-1, XKT_logFilterGet(&type, &level, nullptr));
}
