// The write path: record lines, cuts, priorities, the hex dump and the curl
// callback, read back from the Android log.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <climits>
#include <cstring>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "log_entries.h"
#include "log_settings.h"
#include "log_write.h"
#include "sample_record.h"
#include "sandbox.h"
#include "xkt_log.h"

using namespace xkt::log;
using namespace xkt::test;

namespace {

class WriteTest : public SandboxTest {
protected:
    void SetUp() override { ASSERT_TRUE(passEverything()); }

    // The one record line written since the test began.
    static LogEntry onlyLine() {
        auto lines = readTagged("XKT");
        EXPECT_EQ(1u, lines.size());
        return lines.empty() ? LogEntry{} : lines.back();
    }

    // The message part of a record line: what follows its code field.
    static std::string messageOf(const std::string& line) {
        auto at = line.find("|code:");
        if (at == std::string::npos) return {};
        auto bar = line.find('|', at + 1);
        return bar == std::string::npos ? std::string() : line.substr(bar + 1);
    }
};

}  // namespace

TEST(RecordLayouts, GoldenLines) {
    LogRecord record = sampleRecord();
    char line[kRecordLineSize];

    formatWriteLine(record, 1234, 13, false, line);
    EXPECT_STREQ(" 9: 5: 7|0000001234|Oper| WARN|       net|4321:player.cpp:88:play|code:13|hello world", line);
    formatWriteLine(record, 1234, 13, true, line);
    EXPECT_STREQ(" 9: 5: 7|0000001234|Oper| WARN|       net|4321:player.cpp:88|code:13|hello world", line);
    formatFormattedLine(record, 1234, 13, false, line);
    EXPECT_STREQ(" 9: 5: 7|0000001234|Oper| WARN|       net|0x000010e1:player.cpp:88|hello world", line);
    formatFormattedLine(record, 1234, 13, true, line);
    EXPECT_STREQ(" 9: 5: 7|0000001234|Oper| WARN|       net|0x000010e1:player.cpp:88|code:13|hello world", line);
    record.type = 9;
    record.level = 7;
    formatWriteLine(record, 1, 0, false, line);
    EXPECT_STREQ(" 9: 5: 7|0000000001|Invalid Type|Invalid Level|       net|4321:player.cpp:88:play|code:0|hello world", line);

    // Wide values: two-digit times, a module longer than ten characters is
    // not cut, negative codes, the largest tick count and thread id.
    record.time = LogTime{59, 59, 23, 1, 1, 2026, {}};
    std::strcpy(record.module, "averylongmodule");
    record.threadId = 0xFFFFFFFFu;
    record.type = 4;
    record.level = 5;
    formatWriteLine(record, 0xFFFFFFFFu, -5, false, line);
    EXPECT_STREQ("23:59:59|4294967295|User|TRACE|averylongmodule|4294967295:player.cpp:88:play|code:-5|hello world", line);
    formatFormattedLine(record, 0, -5, true, line);
    EXPECT_STREQ("23:59:59|0000000000|User|TRACE|averylongmodule|0xffffffff:player.cpp:88|code:-5|hello world", line);
}

TEST_F(WriteTest, RecordCutsTextsAtTheirFields) {
    std::string huge(100000, 'x');
    LogRecord record;
    auto build = [&record](const WriteRequest& request, const char* format, ...) {
        va_list args;
        va_start(args, format);
        buildWriteRecord(record, request, format, args);
        va_end(args);
    };
    build(WriteRequest{("/src/" + huge).c_str(), 3, huge.c_str(), 0, 1, 2, huge.c_str()}, "%s", huge.c_str());
    for (const char* field : {record.module, record.file, record.function}) EXPECT_EQ(63u, std::strlen(field));
    EXPECT_EQ(huge.substr(0, 759), record.message);
    EXPECT_EQ(1024u, record.length);
    const uint32_t first = record.sequence;
    build(WriteRequest{"a.c", 1, "f", 0, 1, 2, "mod"}, "short");
    EXPECT_EQ(first + 1, record.sequence);
    EXPECT_EQ(5u + 265u, record.length);
    EXPECT_EQ(static_cast<uint32_t>(gettid()), record.threadId);

    // Messages made without printf carry printf's bytes, cut where it cuts.
    auto expectPrintf = [&](const char* format, auto... args) {
        build(WriteRequest{"a.c", 1, "f", 0, 1, 2, "m"}, format, args...);
        char expected[kWriteMessageMax + 1];
        std::snprintf(expected, sizeof expected, format, args...);
        EXPECT_STREQ(expected, record.message) << format;
        EXPECT_EQ(std::strlen(expected) + kRecordLengthBase, record.length) << format;
    };
    expectPrintf("100%% sure: %s|%s", "a", huge.c_str());
    expectPrintf("%s%s tail", "", "b");
    const char* volatile none = nullptr;  // opaque, so the compiler does not warn
    expectPrintf("%s", static_cast<const char*>(none));
    expectPrintf("%d items, %5s|%%", 42, "ab");
    expectPrintf("%.3s then %s", "abcdef", "g");
    expectPrintf("%d %i %d %u %u %x %x|", INT_MIN, INT_MAX, 0, -1, 7u, -1, 0u);
    expectPrintf("%ld %lu %lx %lld %llu %llx", LONG_MIN, ULONG_MAX, LONG_MAX, LLONG_MIN, ULLONG_MAX, 0x1234abcdULL);
    expectPrintf("%zu %zd %zx", SIZE_MAX, static_cast<ptrdiff_t>(-5), size_t{255});
    expectPrintf("%hd %c %.1f %p tail", 3, 'c', 1.25, static_cast<void*>(nullptr));
    expectPrintf("%s%d", huge.substr(0, 757).c_str(), 12345);  // cut inside the number
    expectPrintf("50%% off");
}

TEST_F(WriteTest, WriteProducesTheFullLineEmptyFieldsAndTheCutMessage) {
    errno = 2;
    ASSERT_GT(XKT_logWrite("/src/media/player.cpp", 42, "play", 0, 1, 1, "net", "hello %d", 7), 0);
    ASSERT_GT(XKT_logWrite(nullptr, 5, nullptr, 0, 1, 2, nullptr, "x"), 0);
    const std::string text(800, 'z');
    ASSERT_GT(XKT_logWrite("a.c", 1, "f", 0, 1, 2, "m", "%s", text.c_str()), 0);
    auto lines = readTagged("XKT");
    ASSERT_EQ(3u, lines.size());
    const std::string tid = std::to_string(gettid()), line = lines[0].message;
    EXPECT_EQ("|Run|DEBUG|       net|" + tid + ":player.cpp:42:play|code:2|hello 7", line.substr(19)) << line;
    EXPECT_EQ(gettid(), lines[0].tid);

    EXPECT_NE(std::string::npos, lines[1].message.find("| INFO|          |" + tid + "::5:|code:")) << lines[1].message;
    EXPECT_EQ("x", messageOf(lines[1].message));
    EXPECT_EQ(text.substr(0, 759), messageOf(lines[2].message));
}

TEST_F(WriteTest, KpiModeSkipsTimeAndThreadLookups) {
    g_iJcKpiEnable = 1;
    errno = 0;
    ASSERT_GT(XKT_logWrite("a.c", 9, "f", 777, 1, 2, "m", "kpi"), 0);
    EXPECT_EQ(" 0: 0: 0|0000000000|Run| INFO|         m|777:a.c:9:f|code:0|kpi", onlyLine().message);

    g_iDirectOutputLog = 1;
    errno = 0;
    ASSERT_GT(XKT_logWrite("a.c", 9, "f", 777, 1, 2, "m", "direct"), 0);
    std::string line = readTagged("XKT").back().message;
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(^ 0: 0: 0\|\d{10}\|Run\| INFO\|         m\|777:a\.c:9\|code:0\|direct$)"))) << line;
    EXPECT_NE(" 0: 0: 0|0000000000", line.substr(0, 19));  // real ticks
}

// Levels 0..6 and one beyond the table, through the writer and the agent.
TEST_F(WriteTest, PrioritiesFollowTheLevel) {
    const int write[] = {5, 3, 4, 5, 6, 5, 5, 5};
    const int agent[] = {5, 3, 4, 5, 5, 5, 5, 5};
    const LogLevel levels[] = {0, 1, 2, 3, 4, 5, 6, 42};
    for (int i = 0; i < 8; ++i) {
        ASSERT_GT(XKT_logWrite("a.c", 1, "f", 0, 1, levels[i], "m", "w"), 0);
        EXPECT_EQ(write[i], readTagged("XKT").back().priority) << levels[i];
        ASSERT_EQ(0, android_log_write("a.c", 1, "f", 0, 1, levels[i], "m", "a"));
        EXPECT_EQ(agent[i], readTagged("XKT").back().priority) << levels[i];
    }
    EXPECT_EQ(16u, readTagged("XKT").size());
}

TEST_F(WriteTest, FormatWriteAndAgentLayouts) {
    std::string text(1100, 't');
    ASSERT_GT(XKT_logFormatWrite("/x/y.c", 12, "fn", 0xabcd, 2, 4, "mod", text.c_str()), 0);
    LogEntry entry = onlyLine();
    EXPECT_EQ(6, entry.priority);
    EXPECT_EQ("|Oper|ERROR|       mod|0x0000abcd:y.c:12|" + text.substr(0, 1023), entry.message.substr(19));

    g_iDirectOutputLog = 1;
    errno = 7;
    ASSERT_GT(XKT_logFormatWrite("y.c", 12, "fn", 1, 2, 4, "mod", nullptr), 0);
    EXPECT_TRUE(std::regex_match(readTagged("XKT").back().message, std::regex(R"(^.*\|0x00000001:y\.c:12\|code:7\|$)")));

    errno = 0;
    ASSERT_EQ(0, android_log_write("/cpe/agent.c", 10, "report", 42, 2, 4, "agent", "msg %s", "5"));
    entry = readTagged("XKT").back();
    EXPECT_TRUE(std::regex_match(entry.message, std::regex(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\|Oper\|ERROR\|agent\|42\|agent\.c:10:report\|code:0\|msg 5$)")))
        << entry.message;
}

TEST_F(WriteTest, HexDumpRowsCutWithTheMessageAndCurlLines) {
    const unsigned char bytes[] = "ABCDEFGHIJKLMNOP\x00\x7f\x20\x7e";
    errno = 0;
    XKT_logPrintBuf(bytes, 20);
    LogEntry entry = onlyLine();
    EXPECT_NE(std::string::npos, entry.message.find("|Run|DEBUG|    common|"));
    const std::string expected =
        "\n"
        "41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50    ABCDEFGHIJKLMNOP\n"
        "00 7f 20 7e                                        .. ~            \n";
    EXPECT_EQ(expected, messageOf(entry.message));

    XKT_logPrintBuf(nullptr, 4);
    XKT_logPrintBuf(bytes, 0);
    EXPECT_EQ(1u, readTagged("XKT").size());

    std::vector<unsigned char> many(600);
    for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<unsigned char>(i);
    XKT_logPrintBuf(many.data(), static_cast<uint32_t>(many.size()));
    std::string dump = messageOf(readTagged("XKT").back().message);
    ASSERT_EQ(759u, dump.size());
    EXPECT_EQ("\n00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f    ................\n",
              dump.substr(0, 69));
    for (size_t row = 0; row < 11; ++row) EXPECT_EQ('\n', dump[1 + row * 68 + 67]) << row;
    EXPECT_EQ("b0 b1 b2 b", dump.substr(1 + 11 * 68));

    // The curl debug callback: texts and data sizes, the rest ignored.
    char info[] = "connected";
    errno = 0;
    // Above a 32-bit long, and wider than ten digits where size_t allows.
    constexpr bool wide = SIZE_MAX > UINT32_MAX;
    constexpr auto big = static_cast<size_t>(wide ? 12345678901ull : 3000000000ull);
    const std::tuple<int, char*, size_t> calls[] = {
        {0, info, sizeof info - 1}, {0, nullptr, 0}, {3, info, 42}, {6, info, big}, {7, info, 1}, {-1, info, 1}};
    for (const auto& [type, data, size] : calls) EXPECT_EQ(0, XKT_CurlDebugLog(nullptr, type, data, size, nullptr));
    auto lines = readTagged("XKT");
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("== Info: connected", messageOf(lines[2].message));
    EXPECT_EQ("<= Recv data, 0000000042 bytes", messageOf(lines[3].message));
    EXPECT_EQ(wide ? "=> Send SSL data, 12345678901 bytes" : "=> Send SSL data, 3000000000 bytes",
              messageOf(lines[4].message));
    EXPECT_NE(std::string::npos, lines[2].message.find(":XKT_CurlDebugLog|code:0|"));
}

TEST_F(WriteTest, AnotherProcessWritesWithTheTool) {
    int status = -1;
    capture(binDir() + "/xkt-log -t oper -l warn -m tools -f /src/tool.c -n 17 from a tool", &status);
    ASSERT_EQ(0, status);
    const std::string line = readTagged("XKT").back().message;
    EXPECT_NE(std::string::npos, line.find("|Oper| WARN|     tools|")) << line;
    EXPECT_NE(std::string::npos, line.find(":tool.c:17:main|code:0|from a tool")) << line;
}
