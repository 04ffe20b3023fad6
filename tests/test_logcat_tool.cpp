// The logcat stand-in, run as the library and people run it.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <unistd.h>

#include "log_buffer.h"
#include "sandbox.h"

namespace {

using namespace xkt::host;
using xkt::test::capture;
using xkt::test::Sandbox;

const std::string kLogcat = xkt::test::binDir() + "/xkt-logcat";

void writeTo(LogId id, int32_t pid, int32_t seconds, int priority, const char* tag,
             const char* text) {
    LogOrigin origin{pid, pid + 1, seconds, 123456789};
    ASSERT_GT(LogBuffer::get(id)->write(origin, priority, tag, text), 0);
}

std::string run(const std::string& arguments, int* status = nullptr) {
    return capture(kLogcat + " " + arguments, status);
}

TEST(LogcatDump, FormatsMatchAndroid) {
    Sandbox sandbox;
    writeTo(LogId::Main, 1234, 1700000000, 4, "XKT", "hello\nworld\n");
    writeTo(LogId::Main, 1234567, 1700000001, 6, "ActivityManager", "long tag");
    int status = -1;
    EXPECT_EQ("hello\nworld\nlong tag\n", run("-d -v raw", &status));
    EXPECT_EQ(0, status);
    // The libexec program is the same one, for the commands the library runs.
    EXPECT_EQ("hello\nworld\nlong tag\n", capture(xkt::test::libexecDir() + "/logcat -d -v raw"));
    const std::string brief = "I/XKT     ( 1234): hello\n"
                              "I/XKT     ( 1234): world\n"
                              "E/ActivityManager(1234567): long tag\n";
    EXPECT_EQ(brief, run("-d -v brief"));
    EXPECT_EQ(brief, run("-d"));
    EXPECT_EQ("11-14 22:13:20.123  1234  1235 I XKT     : hello\n"
              "11-14 22:13:20.123  1234  1235 I XKT     : world\n"
              "11-14 22:13:21.123 1234567 1234568 E ActivityManager: long tag\n",
              capture("TZ=UTC " + kLogcat + " -d -v threadtime"));
}

TEST(LogcatDump, BuffersAndFiltersChooseWhatIsShown) {
    Sandbox sandbox;
    writeTo(LogId::Main, 1, 300, 3, "XKT", "main debug");
    writeTo(LogId::System, 1, 200, 5, "XKT", "system warn");
    writeTo(LogId::Radio, 1, 100, 6, "Other", "radio error");
    writeTo(LogId::Events, 1, 400, 3, "Other", "events debug");
    EXPECT_EQ("system warn\nmain debug\n", run("-d -v raw"));
    EXPECT_EQ("radio error\nmain debug\nevents debug\n", run("-d -v raw -b main -b radio,events"));
    EXPECT_EQ("radio error\nsystem warn\n", run("-d -v raw -b all XKT:W *:E"));
}

TEST(LogcatOptions, ClearAndSizesActOnTheSelectedBuffers) {
    Sandbox sandbox;
    setenv("XKT_LOG_BUFFER_SIZE", "8192", 1);
    LogReader reader(*LogBuffer::get(LogId::Main));
    for (int i = 0; i < 200; ++i) writeTo(LogId::Main, 1, i, 4, "T", "some text to fill");
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
             << "radio: ring buffer is 65536 bytes (0 bytes consumed), 0 entries, 0 entries "
                "lost, max entry is 4096b, max payload is 4076b\n";
    EXPECT_EQ(expected.str(), run("-g -b main -b radio"));

    int status = -1;
    EXPECT_EQ("", run("-c -b main", &status));
    EXPECT_EQ(0, status);
    EXPECT_EQ("system\n", run("-d -v raw"));
    run("-c");
    EXPECT_EQ("", run("-d -v raw"));
}

// It appends to the file, releases its standard output at once (the shell
// runner leaves such a program running) and ends cleanly on SIGTERM.
TEST(LogcatFollow, WritesToTheFileUntilKilledAndReleasesStdout) {
    Sandbox sandbox;
    const std::string file = sandbox.path("/capture.txt");
    std::ofstream(file) << "kept\n";
    writeTo(LogId::Main, 1, 1, 4, "T", "before start");
    int out[2];
    ASSERT_EQ(0, pipe(out));
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl(kLogcat.c_str(), "logcat", "-v", "raw", "-f", file.c_str(), nullptr);
        _exit(127);
    }
    close(out[1]);
    pollfd released{out[0], POLLIN, 0};
    EXPECT_EQ(1, poll(&released, 1, 30000));
    char byte;
    EXPECT_EQ(0, read(out[0], &byte, 1));  // end of file while it keeps running
    close(out[0]);
    EXPECT_EQ(0, waitpid(pid, nullptr, WNOHANG));

    using xkt::test::readFile;
    EXPECT_TRUE(xkt::test::eventually([&] { return readFile(file) == "kept\nbefore start\n"; })) << readFile(file);
    writeTo(LogId::System, 1, 2, 4, "T", "while\nrunning");
    EXPECT_TRUE(xkt::test::eventually([&] { return readFile(file) == "kept\nbefore start\nwhile\nrunning\n"; }))
        << readFile(file);
    ASSERT_EQ(0, kill(pid, SIGTERM));
    EXPECT_EQ(0, xkt::test::waitForExit(pid));
}

}  // namespace
