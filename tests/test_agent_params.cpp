// Management-agent parameters: the syslog collector and tag, the agent's
// own messages, and its numbering against the library's.
#include <gtest/gtest.h>

#include <string>

#include "log_entries.h"
#include "sandbox.h"
#include "syslog_format.h"
#include "syslog_transport.h"
#include "xkt_log.h"

using namespace xkt::log;

TEST(AgentMaps, BothDirections) {
    const int32_t level[] = {0, 6, 6, 4, 6, 6, 2, 1, 6, 6};
    for (uint32_t agent = 0; agent < 10; ++agent) EXPECT_EQ(level[agent], XKT_swapTMSLogLevel(agent)) << agent;
    EXPECT_EQ(6, XKT_swapTMSLogLevel(0xFFFFFFFFu));
    for (uint32_t agent = 0; agent < 23; ++agent) {
        const int32_t expected = agent == 0 ? 0 : agent == 16 ? 2 : agent == 17 ? 1 : agent == 19 ? 3 : agent == 20 ? 4 : 5;
        EXPECT_EQ(expected, XKT_swapTMSLogType(agent)) << agent;
    }
    const int32_t severity[] = {0, 7, 6, 3, 3, 0, -1, -1};
    for (uint32_t local = 0; local < 8; ++local) EXPECT_EQ(severity[local], XKT_swapLocalLogLevel(local)) << local;
    const int32_t facility[] = {0, 17, 16, 19, 20, -1, -1};
    for (uint32_t local = 0; local < 7; ++local) EXPECT_EQ(facility[local], XKT_swapLocalLogType(local)) << local;
    // Where the agent's numbering means something, it comes back unchanged.
    for (uint32_t agent : {16u, 17u, 19u, 20u}) EXPECT_EQ(int32_t(agent), XKT_swapLocalLogType(XKT_swapTMSLogType(agent)));
    for (uint32_t agent : {3u, 6u, 7u}) EXPECT_EQ(int32_t(agent), XKT_swapLocalLogLevel(XKT_swapTMSLogLevel(agent)));
}

TEST(AgentLogWrite, MapsTypeAndLevelAndWritesTheTextLiterally) {
    xkt::test::Sandbox sandbox;
    ASSERT_EQ(0, XKT_property_set("xkt.log.mgmttakeover", "1"));
    XKT_logFilterSetModule("ALL");
    XKT_cpeAgentLogWrite("/cpe/agent.c", 7, "report", 42, 17, 3, "cpe", "%s %d", "100% done %d", 5);
    XKT_cpeAgentLogWrite("/cpe/agent.c", 8, "report", 0, 19, 5, "cpe", "quiet");
    XKT_cpeAgentLogWrite("/cpe/agent.c", 9, "report", 0, 17, 3, "cpe", "%s", std::string(4096, 'x').c_str());
    XKT_cpeAgentLogWrite("/cpe/agent.c", 9, "report", 0, 17, 3, "cpe", "%s", "");
    const auto entries = xkt::test::readTagged("XKT");
    ASSERT_EQ(2u, entries.size());
    EXPECT_NE(std::string::npos, entries[0].message.find("|Run|ERROR|cpe|42|agent.c:7:report|"))
        << entries[0].message;
    EXPECT_EQ("100% done %d 5", entries[0].message.substr(entries[0].message.size() - 14));
    EXPECT_NE(std::string::npos, entries[1].message.find("|Security| NONE|cpe|0|agent.c:8:report|"));
}

TEST(CpeSysLogParam, ServerPortTagAndVersion) {
    xkt::test::Sandbox sandbox;
    XKT_property_set("ro.software", "V300R001");
    EXPECT_EQ(0, XKT_setCPESysLogParam(nullptr, "ignored", "10.1.2.3:6514"));
    EXPECT_STREQ("null", g_syslogTagPrefix);
    EXPECT_STREQ("V300R001", g_softwareVersion);
    EXPECT_STREQ("10.1.2.3", g_syslogServer);
    EXPECT_EQ(6514, g_syslogPort);

    const std::string longTag(80, 't');
    EXPECT_EQ(0, XKT_setCPESysLogParam(longTag.c_str(), nullptr, nullptr));
    EXPECT_EQ(longTag.substr(0, 63), g_syslogTagPrefix);
    EXPECT_STREQ("10.1.2.3", g_syslogServer);  // no server: left as it was
    EXPECT_EQ(6514, g_syslogPort);
    XKT_setCPESysLogParam("", nullptr, "");
    EXPECT_EQ(longTag.substr(0, 63), g_syslogTagPrefix);

    XKT_setCPESysLogParam("STB", nullptr, "10.9.8.7");
    EXPECT_STREQ("STB", g_syslogTagPrefix);
    EXPECT_STREQ("10.9.8.7", g_syslogServer);
    EXPECT_EQ(514, g_syslogPort);
    XKT_setCPESysLogParam("STB", nullptr, "10.9.8.7:70000");  // kept in 16 bits
    EXPECT_EQ(70000 - 65536, g_syslogPort);
    const std::string longAddress = std::string(300, '1') + ":99";
    XKT_setCPESysLogParam("STB", nullptr, longAddress.c_str());
    EXPECT_EQ(std::string(255, '1'), g_syslogServer);
    EXPECT_EQ(99, g_syslogPort);
}
