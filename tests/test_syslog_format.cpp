// Syslog lines: PRI tables, the classic and the structured layouts, the
// choice between them, time stamps and the line bound.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <tuple>

#include "log_entries.h"
#include "log_settings.h"
#include "sandbox.h"
#include "syslog_format.h"
#include "syslog_transport.h"

using namespace xkt::log;

namespace {

LogRecord record(uint32_t type, uint32_t level, const char* file, int32_t line,
                 const char* message) {
    LogRecord r{};
    r.type = type;
    r.level = level;
    std::strcpy(r.file, file);
    r.line = line;
    r.code = 13;
    std::strcpy(r.message, message);
    return r;
}

// The formatter's text with its time stamp, checked for shape, as "TIME".
std::string format(const void* item, int32_t kind) {
    static const std::regex stamp(
        R"([A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d|\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)");
    char out[XKT_LOG_FORMAT_BUFFER_SIZE] = {};
    XKT_SyslogFormatter(item, out, kind);
    return std::regex_replace(std::string(out), stamp, "TIME",
                              std::regex_constants::format_first_only);
}

class SyslogTest : public xkt::test::SandboxTest {
protected:
    void SetUp() override { std::strcpy(g_macString, "00:11:22:33:44:55"); }
};

}  // namespace

TEST_F(SyslogTest, PriFromTablesAndNoLineWithoutOne) {
    ASSERT_TRUE(xkt::test::passEverything());  // let the reports through
    // The tables themselves: test_agent_params.cpp reads them whole.
    EXPECT_EQ(-1, XKT_getLocalLogPRI(XKT_LOG_LEVEL_NONE, XKT_LOG_TYPE_RUN));
    LogRecord none = record(XKT_LOG_TYPE_NONE, XKT_LOG_LEVEL_INFO, "a.c", 1, "dropped");
    EXPECT_EQ("", format(&none, 1));

    using xkt::test::said;
    EXPECT_TRUE(said("ERROR", "XKT_getLocalLogPRI", "swap CPE LogType[1] or Level[6] to Local fail."));
    EXPECT_TRUE(said("ERROR", "XKT_getLocalLogPRI", "swap CPE LogType[5] or Level[2] to Local fail."));
    EXPECT_TRUE(said("ERROR", "XKT_SyslogFormatter", "get log PRI failed"));
    EXPECT_TRUE(xkt::test::logged("|ERROR|       LOG|"));
}

TEST_F(SyslogTest, ClassicLayoutsEndInOneLineFeedWithin1021Characters) {
    // A record with its source position: the last test's table.
    std::strcpy(g_syslogTagPrefix, "stb-");
    ++g_syslogIdentityVersion;  // as the agent's setter does
    std::strcpy(g_softwareVersion, "V1.2");
    LogRecord noLine = record(XKT_LOG_TYPE_OPER, XKT_LOG_LEVEL_INFO, "player.cpp", 0, "at start\n");
    EXPECT_EQ(R"(<134>TIME 00:11:22:33:44:55 stb-V1.2 at start)" "\n", format(&noLine, 1));
    LogRecord noFile = record(XKT_LOG_TYPE_USER, XKT_LOG_LEVEL_WARN, "", 7, "no file");
    EXPECT_EQ(R"(<163>TIME 00:11:22:33:44:55 stb-V1.2 no file)" "\n", format(&noFile, 1));
    EXPECT_EQ(R"(<143>TIME 00:11:22:33:44:55 stb-V1.2 I/am: plain)" "\n", format("I/am: plain", 0));

    // "<143>", stamp, MAC, tag and version, two blanks: 48 characters.
    char out[XKT_LOG_FORMAT_BUFFER_SIZE] = {};
    EXPECT_EQ(0, XKT_SyslogFormatter(std::string(973, 'm').c_str(), out, 0));
    EXPECT_EQ(std::string(973, 'm') + "\n", out + 48);
    EXPECT_EQ(-1, XKT_SyslogFormatter(std::string(974, 'm').c_str(), out, 0));
    EXPECT_EQ(std::string(973, 'm'), out + 48);
}

TEST_F(SyslogTest, StructuredLayoutOnlyForTlsWithoutKey) {
    g_iUseHttpsSyslog = 1;
    std::strcpy(g_syslogTagPrefix, "stb-");
    ++g_syslogIdentityVersion;  // as the agent's setter does
    LogRecord full = record(XKT_LOG_TYPE_RUN, XKT_LOG_LEVEL_ERROR, "player.cpp", 88, "hello world");
    // The count covers everything behind its blank, the final line feed too.
    EXPECT_EQ(R"(0053 <139>1 TIME - - - - - )" "\xEF\xBB\xBF" R"( hello world)" "\n",
              format(&full, 1));
    EXPECT_EQ(R"(0047 <143>1 TIME - - - - - )" "\xEF\xBB\xBF" R"( ends)" "\n\n", format("ends\n", 0));
    g_iUseHttpsSyslog = 2;  // any switch but 0
    EXPECT_EQ(R"(0047 <143>1 TIME - - - - - )" "\xEF\xBB\xBF" R"( ends)" "\n\n", format("ends\n", 0));
    char small[6];
    EXPECT_EQ(-1, XKT_syslogProtoFormatter("x", small, sizeof small, 0));

    g_syslogAesKey[0] = 0x5a;
    EXPECT_EQ(R"(<139>TIME 00:11:22:33:44:55 stb- player.cpp:88 code:13 hello world)" "\n",
              format(&full, 1));
}

TEST_F(SyslogTest, TimeStampsFollowTheClockSetting) {
    setenv("TZ", "XKT-5:30", 1);  // local time 5:30 ahead of UTC
    tzset();
    // A stamp of a second between the readings, give or take one: time()
    // reads a coarse clock that may lag the one the library reads by a tick.
    auto stampOf = [](bool utc, const char* layout, time_t from, const std::string& stamp) {
        for (time_t t = from - 1; t <= std::time(nullptr) + 1; ++t) {
            struct tm f {};
            char text[32];
            std::strftime(text, sizeof text, layout, utc ? gmtime_r(&t, &f) : localtime_r(&t, &f));
            if (stamp == text) return true;
        }
        return false;
    };
    char out[XKT_LOG_FORMAT_BUFFER_SIZE];
    for (int32_t utc : {0, 1}) {
        g_iLogUseUTCTime = utc;
        const time_t from = std::time(nullptr);
        g_iUseHttpsSyslog = 0;
        ASSERT_EQ(0, XKT_SyslogFormatter("t", out, 0));
        EXPECT_TRUE(stampOf(utc, "%b %d %H:%M:%S", from, std::string(out + 5, 15))) << out;
        g_iUseHttpsSyslog = 1;
        ASSERT_EQ(0, XKT_SyslogFormatter("t", out, 0));
        EXPECT_TRUE(stampOf(utc, "%Y-%m-%dT%H:%M:%S", from, std::string(out + 12, 19))) << out;
    }
}

TEST_F(SyslogTest, ClassicHeadFollowsEveryChangeOfPriSecondMacAndIdentity) {
    // The head in front of the record's fields is kept from line to line;
    // each line must still show the PRI, time, MAC and identity of its own.
    LogRecord full = record(XKT_LOG_TYPE_RUN, XKT_LOG_LEVEL_ERROR, "player.cpp", 88, "hello");
    const std::string mac = "00:11:22:33:44:55", other = "aa:bb:cc:dd:ee:ff";
    const std::tuple<std::string, const char*, int32_t, int32_t, std::string> steps[] = {
        {mac, "", 139, 7, "<139>Feb 03 09:05:07 " + mac + " "},
        {mac, "", 139, 7, "<139>Feb 03 09:05:07 " + mac + " "},
        {mac, "", 134, 7, "<134>Feb 03 09:05:07 " + mac + " "},
        {mac, "", 134, 8, "<134>Feb 03 09:05:08 " + mac + " "},
        {other, "", 134, 8, "<134>Feb 03 09:05:08 " + other + " "},
        {other, "stb-", 134, 8, "<134>Feb 03 09:05:08 " + other + " stb-V1.2"},
        {"", "stb-", 134, 8, "<134>Feb 03 09:05:08  stb-V1.2"},
        {mac, "", 139, 7, "<139>Feb 03 09:05:07 " + mac + " "}};
    for (const auto& [macText, prefix, pri, second, head] : steps) {
        std::strcpy(g_macString, macText.c_str());
        if (std::strcmp(g_syslogTagPrefix, prefix) != 0) {
            std::strcpy(g_syslogTagPrefix, prefix);
            std::strcpy(g_softwareVersion, prefix[0] != '\0' ? "V1.2" : "");
            ++g_syslogIdentityVersion;  // as the agent's setter does
        }
        char out[XKT_LOG_FORMAT_BUFFER_SIZE] = {};
        bool cut = true;
        composeClassicLine(out, 1021, pri, &full, full.message, LogTime{second, 5, 9, 3, 2, 2024, {}}, cut);
        EXPECT_FALSE(cut);
        EXPECT_EQ(head + " player.cpp:88 code:13 hello", out);
    }
}
