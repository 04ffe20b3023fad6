// The whole road: writer processes -> Android log -> log thread of the
// managing process -> channels -> local files.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log_buffer.h"
#include "sandbox.h"
#include "xkt_log.h"

namespace {

using xkt::test::linesOf;
using xkt::test::readFile;

constexpr int kWriters = 4;
constexpr int kThreadsPerWriter = 2;
constexpr int kMessagesPerThread = 5000;
constexpr int kTotal = kWriters * kThreadsPerWriter * kMessagesPerThread;

// Channel 5 of the managing process keeps every syslog line, unrotated, so
// the test can account for each message; channel 2 writes the same lines
// into the rotating local files.
FILE* g_allLines = nullptr;

int32_t keepEveryLine(const char* text) {
    if (g_allLines != nullptr && text[0] != '\0') {
        std::fputs(text, g_allLines);
        std::fflush(g_allLines);
    }
    return 0;
}

// A writer process: waits for the go, then its threads write their share.
int runWriter(int writer, int goFd) {
    char go = 0;
    if (read(goFd, &go, 1) != 1) return 2;
    std::vector<std::thread> threads;
    std::atomic<int> refused{0};
    for (int t = 0; t < kThreadsPerWriter; ++t) {
        threads.emplace_back([writer, t, &refused] {
            for (int i = 0; i < kMessagesPerThread; ++i) {
                refused += XKT_logWrite("/src/e2e/writer.c", 100 + t, "run", 0, XKT_LOG_TYPE_RUN,
                                        XKT_LOG_LEVEL_INFO, "e2e", "w%d t%d n%d payload %s", writer,
                                        t, i, "0123456789abcdefghijklmnopqrstuvwxyz") <= 0;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    return refused == 0 ? 0 : 1;
}

}  // namespace

TEST(EndToEnd, EveryMessageOfManyProcessesReachesTheFilesExactlyOnce) {
    xkt::test::Sandbox sandbox;
    setenv("XKT_MAC", "00:11:22:aa:bb:cc", 1);
    setenv("XKT_LOG_BUFFER_SIZE", "33554432", 1);  // sized for the whole burst

    // The writers are forked before this process starts any thread.
    int go[2];
    ASSERT_EQ(0, pipe(go));
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(xkt::test::spawn([&] {
            close(go[1]);
            return runWriter(w, go[0]);
        }));
    }
    close(go[0]);

    const std::string allLinesPath = sandbox.path("/all-lines.txt");
    g_allLines = std::fopen(allLinesPath.c_str(), "w");
    ASSERT_NE(nullptr, g_allLines);
    ASSERT_EQ(0, XKT_logInit(0, XKT_LOG_LEVEL_ALL, XKT_LOG_TYPE_ALL, "e2e", nullptr));
    ASSERT_EQ(0, XKT_logRegCallback(5, XKT_SyslogFormatter, keepEveryLine));

    ASSERT_EQ(kWriters, write(go[1], "gggg", kWriters));
    close(go[1]);
    for (pid_t pid : writers) EXPECT_EQ(0, xkt::test::waitForExit(pid)) << "writer refused messages";

    // Written = delivered + lost; wait until the reader has caught up.
    xkt::host::LogBuffer* main = xkt::host::LogBuffer::get(xkt::host::LogId::Main);
    ASSERT_NE(nullptr, main);
    // One classic syslog line per record: PRI 142 (Run, INFO), the MAC as
    // host, the source position, and the record's message behind its
    // Android-style prefix.
    const std::regex kLine(
        R"(^<142>[A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d 00:11:22:aa:bb:cc  writer\.c:10[01] code:\d+ I/XKT\(\s*\d+\): (w\d t\d n\d+) payload 0123456789abcdefghijklmnopqrstuvwxyz$)");
    std::set<std::string> seen;
    uint64_t lost = 0;
    for (int wait = 0; wait < 600; ++wait, usleep(50 * 1000)) {
        lost = main->stats().lost;
        if (linesOf(readFile(allLinesPath)).size() + lost >= static_cast<size_t>(kTotal)) break;
    }
    for (const std::string& line : linesOf(readFile(allLinesPath))) {
        if (line.find(" I/XKT(") == std::string::npos) continue;  // the library's own lines
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kLine)) << "garbled: " << line;
        EXPECT_TRUE(seen.insert(m[1]).second) << "twice: " << line;
    }
    EXPECT_EQ(0u, lost);
    EXPECT_EQ(static_cast<size_t>(kTotal), seen.size() + lost);

    // The rotating local files hold the newest of the same lines, whole.
    const auto files = linesOf(xkt::test::capture("ls -1 '" + sandbox.path("/tmp/log") + "'/*.log 2>/dev/null"));
    EXPECT_TRUE(files.size() == 1 || files.size() == 2) << files.size();
    size_t inFiles = 0;
    for (const auto& file : files) {
        for (const std::string& line : linesOf(readFile(file))) {
            if (line.find(" I/XKT(") == std::string::npos) continue;
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, kLine)) << "garbled in " << file << ": " << line;
            EXPECT_EQ(1u, seen.count(m[1]));
            ++inFiles;
        }
    }
    EXPECT_GT(inFiles, 0u);
}
