// The logcat programs: the box's (libexec) as the library runs it, and the
// viewer (xkt-logcat) as people run it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "log_buffer.h"
#include "sandbox.h"

namespace {

using namespace xkt::host;
using xkt::test::capture;

const std::string kLogcat = xkt::test::binDir() + "/xkt-logcat";
const std::string kBoxLogcat = xkt::test::libexecDir() + "/logcat";

void writeTo(LogId id, int32_t pid, int32_t seconds, int priority, const char* tag,
             const char* text) {
    LogOrigin origin{pid, pid + 1, seconds, 123456789};
    ASSERT_GT(LogBuffer::get(id)->write(origin, priority, tag, text), 0);
}

std::string run(const std::string& arguments) { return capture(kLogcat + " " + arguments); }

class Logcat : public xkt::test::SandboxTest {};

TEST_F(Logcat, FormatsMatchAndroid) {
    writeTo(LogId::Main, 1234, 1700000000, 4, "XKT", "hello\nworld\n");
    writeTo(LogId::Main, 1234567, 1700000001, 6, "ActivityManager", "long tag");
    EXPECT_EQ("hello\nworld\nlong tag\n", run("-d -v raw"));
    EXPECT_EQ("hello\nworld\nlong tag\n", capture(kBoxLogcat + " -d -v raw"));
    EXPECT_EQ("I/XKT     ( 1234): hello\n"
              "I/XKT     ( 1234): world\n"
              "E/ActivityManager(1234567): long tag\n",
              run("-d"));
    EXPECT_EQ("11-14 22:13:20.123  1234  1235 I XKT     : hello\n"
              "11-14 22:13:20.123  1234  1235 I XKT     : world\n"
              "11-14 22:13:21.123 1234567 1234568 E ActivityManager: long tag\n",
              capture("TZ=UTC " + kLogcat + " -d -v threadtime"));
    // Colour by level on a terminal or when asked; never in a pipe (above).
    const std::string red = "\033[31mlong tag\033[0m\n";
    EXPECT_EQ("\033[32mhello\033[0m\n\033[32mworld\033[0m\n" + red, run("-d -v raw --color=always"));
    const std::string onTerminal = "TERM=xterm script -qec '" + kLogcat + " -d -v raw";
    EXPECT_NE(std::string::npos, capture(onTerminal + "' /dev/null").find("\033[31mlong tag")) << onTerminal;
    EXPECT_EQ(std::string::npos, capture(onTerminal + " --color=never' /dev/null").find("\033["));
}

// Buffers, Android's TAG:PRIORITY filters and the record filters on record
// lines in the writers' and the agent's layouts and on other programs' lines.
TEST_F(Logcat, BuffersAndFiltersChooseWhatIsShown) {
    writeTo(LogId::Radio, 1, 1, 6, "Other", "radio-error");
    writeTo(LogId::System, 1, 2, 6, "XKT", " 9: 5: 8|0000012346|Oper|ERROR|       net|1:a.c:2:f|code:0|n-error");
    writeTo(LogId::Main, 1, 3, 5, "XKT", " 9: 5: 7|0000012345|Run| WARN|    player|1:a.c:1:f|code:0|p-warn");
    writeTo(LogId::Main, 1, 4, 3, "XKT", " 9: 5: 9|0000012347|Run|DEBUG|       NET|0x00000001:a.c:3|n-debug");
    writeTo(LogId::Main, 1, 5, 4, "XKT", "2026-01-01 09:05:10|User| INFO|       tms|7|a.c:4:f|code:0|t-info");
    writeTo(LogId::Events, 1, 6, 3, "Other", "events-debug");
    const std::pair<const char*, const char*> cases[] = {
        {"", "n-error p-warn n-debug t-info "},
        {"-b main -b radio,events", "radio-error p-warn n-debug t-info events-debug "},
        {"-b all XKT:W *:E", "radio-error n-error p-warn "},
        {"-b all -m player,net", "n-error p-warn n-debug "},
        {"-t run", "p-warn n-debug "},
        {"-t oper,user", "n-error t-info "},
        {"-l warn", "n-error p-warn "},
        {"-l 2", "n-error p-warn t-info "},
        {"-m net -t run -l debug", "n-debug "},
    };
    for (const auto& [options, expected] : cases) {
        std::istringstream lines(run(std::string("-d -v raw ") + options));
        std::string shown;
        for (std::string line; std::getline(lines, line);) shown += line.substr(line.rfind('|') + 1) + " ";
        EXPECT_EQ(expected, shown) << options;
    }
}

TEST_F(Logcat, ClearAndSizesActOnTheSelectedBuffers) {
    setenv("XKT_LOG_BUFFER_SIZE", "8192", 1);
    LogReader reader(*LogBuffer::get(LogId::Main));
    // More than all 16 lanes hold: a thread moves on while a lane has room.
    for (int i = 0; i < 4000; ++i) writeTo(LogId::Main, 1, i, 4, "T", "some text to fill");
    writeTo(LogId::System, 1, 1, 4, "T", "system");
    uint8_t entry[kMaxEntrySize];
    ASSERT_GT(reader.read(entry, sizeof entry), 0);  // notices it was lapped
    const LogBufferStats stats = LogBuffer::get(LogId::Main)->stats();
    ASSERT_GT(stats.lost, 0u);
    setenv("XKT_LOG_BUFFER_SIZE", "65536", 1);  // for buffers made from now on
    std::ostringstream expected;
    expected << "main: ring buffer is 8192 bytes (" << stats.used << " bytes consumed), "
             << stats.entries << " entries, " << stats.lost
             << " entries lost, max entry is 4096b, max payload is 4076b\n"
             << "  4000 written, 0 dropped by writers, 0 lost by the log thread\n";
    ASSERT_EQ(1u, stats.readers.size());
    expected << "  reader " << getpid() << " (" << stats.readers[0].name << "): " << stats.lost
             << " lost\n"
             << "radio: ring buffer is 65536 bytes (0 bytes consumed), 0 entries, 0 entries "
                "lost, max entry is 4096b, max payload is 4076b\n"
             << "  0 written, 0 dropped by writers, 0 lost by the log thread\n";
    EXPECT_EQ(expected.str(), run("-g -b main -b radio"));
    EXPECT_EQ("", run("-c -b main"));
    EXPECT_EQ("system\n", run("-d -v raw"));
}

// The viewer dumps by default; -f follows, and shows a line written after
// it started.
TEST_F(Logcat, ViewerFollowsWithF) {
    writeTo(LogId::Main, 1, 1, 4, "T", "old");
    EXPECT_EQ("old\n", run("-v raw"));
    const std::string later = "(sleep 0.5; " + xkt::test::binDir() + "/xkt-log -T T new) & ";
    EXPECT_EQ("old\nnew\n", capture(later + "timeout 2 " + kLogcat + " -f -v raw; wait"));
}

}  // namespace
