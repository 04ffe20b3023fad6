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

TEST(AgentParams, MapsBothDirectionsAndTheAgentsMessages) {
    xkt::test::Sandbox sandbox;
    std::string levels, types, severities, facilities;
    for (uint32_t n = 0; n < 10; ++n) levels += std::to_string(XKT_swapTMSLogLevel(n));
    for (uint32_t n = 0; n < 23; ++n) types += std::to_string(XKT_swapTMSLogType(n));
    for (uint32_t n = 0; n < 8; ++n) severities += std::to_string(XKT_swapLocalLogLevel(n)) + " ";
    for (uint32_t n = 0; n < 7; ++n) facilities += std::to_string(XKT_swapLocalLogType(n)) + " ";
    EXPECT_EQ("0664662166", levels);
    EXPECT_EQ("05555555555555552153455", types);
    EXPECT_EQ("0 7 6 3 3 0 -1 -1 ", severities);
    EXPECT_EQ("0 17 16 19 20 -1 -1 ", facilities);
    EXPECT_EQ(6, XKT_swapTMSLogLevel(0xFFFFFFFFu));

    // The agent's messages, mapped, their text written literally.
    ASSERT_TRUE(xkt::test::passEverything());
    XKT_cpeAgentLogWrite("/cpe/agent.c", 7, "report", 42, 17, 3, "cpe", "%s %d", "100% done %d", 5);
    XKT_cpeAgentLogWrite("/cpe/agent.c", 8, "report", 0, 19, 5, "cpe", "quiet");
    XKT_cpeAgentLogWrite("/cpe/agent.c", 9, "report", 0, 17, 3, "cpe", "%s", std::string(4096, 'x').c_str());
    XKT_cpeAgentLogWrite("/cpe/agent.c", 9, "report", 0, 17, 3, "cpe", "%s", "");
    const auto entries = xkt::test::readTagged("XKT");
    ASSERT_EQ(2u, entries.size());  // too long and empty: dropped
    EXPECT_NE(std::string::npos, entries[0].message.find("|Run|ERROR|cpe|42|agent.c:7:report|")) << entries[0].message;
    EXPECT_EQ("|100% done %d 5", entries[0].message.substr(entries[0].message.size() - 15));
    EXPECT_NE(std::string::npos, entries[1].message.find("|Security| NONE|cpe|0|agent.c:8:report|"));
}

TEST(AgentParams, SysLogParamServerPortTagAndVersion) {
    xkt::test::Sandbox sandbox;
    XKT_property_set("ro.software", "V300R001");
    auto state = [] { return std::string(g_syslogTagPrefix) + " " + g_syslogServer + " " + std::to_string(g_syslogPort); };
    EXPECT_EQ(0, XKT_setCPESysLogParam(nullptr, "ignored", "10.1.2.3:6514"));
    EXPECT_EQ("null 10.1.2.3 6514", state());
    EXPECT_STREQ("V300R001", g_softwareVersion);
    const std::string longTag(80, 't');
    XKT_setCPESysLogParam(longTag.c_str(), nullptr, nullptr);  // no server, or an empty one: left as it was
    XKT_setCPESysLogParam("", nullptr, "");
    EXPECT_EQ(longTag.substr(0, 63) + " 10.1.2.3 6514", state());
    XKT_setCPESysLogParam("STB", nullptr, "10.9.8.7");
    EXPECT_EQ("STB 10.9.8.7 514", state());
    XKT_setCPESysLogParam("STB", nullptr, "10.9.8.7:70000");  // kept in 16 bits
    EXPECT_EQ("STB 10.9.8.7 4464", state());
    XKT_setCPESysLogParam("STB", nullptr, (std::string(300, '1') + ":99").c_str());
    EXPECT_EQ("STB " + std::string(255, '1') + " 99", state());
}
