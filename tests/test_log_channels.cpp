// The default formatter and the local file channel: names, modes, rotation,
// the ring of two files, recovery when the file or its directory goes, and
// every line the channel could not write counted.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <sched.h>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

#include "log_channels.h"
#include "log_entries.h"
#include "log_model.h"
#include "log_settings.h"
#include "sample_record.h"
#include "sandbox.h"

using namespace xkt::log;
using xkt::test::capture;

namespace {

class FileChannelTest : public xkt::test::SandboxTest {
protected:
    void SetUp() override {
        dir_ = sandbox_.path("/tmp/log");  // as initialisation leaves it
        ASSERT_EQ(0, std::system(("mkdir -p " + dir_).c_str()));
        std::strcpy(g_macString, "00:11:22:33:44:55");
        g_logFileMutex = XKT_mutex_create();
    }
    // Name of the current file (its full path checked).
    std::string current() const {
        char path[4096] = "unset";
        EXPECT_NE(nullptr, XKT_logGetFilePath(path, 255 + XKT_rootLength()));
        const std::string text = path;
        return text.rfind(dir_ + "/", 0) == 0 ? text.substr(dir_.size() + 1) : "elsewhere: " + text;
    }
    std::string ls() const { return capture("ls " + dir_); }
    std::string cat(const std::string& name) const { return capture("cat " + dir_ + "/" + name); }
    std::string mode(const std::string& name = "") const { return capture("stat -c %a " + dir_ + "/" + name); }
    // Whole lines (ending in a line feed) in every file of the directory.
    size_t wholeLines() const { return std::stoul(capture("cat " + dir_ + "/*.log | wc -l")); }

    std::string dir_;
};

}  // namespace

TEST_F(FileChannelTest, DefaultLineWithAndWithoutSourcePosition) {
    LogRecord r = xkt::test::sampleRecord();
    char out[XKT_LOG_FORMAT_BUFFER_SIZE] = {};

    ASSERT_EQ(0, XKT_logDefFormatter(&r, out, 1));
    EXPECT_STREQ(R"(09:05:07|Oper| WARN|       net|hello world)" "\r\n", out);
    g_logConfig.inited = 1;
    ASSERT_EQ(0, XKT_logDefFormatter(&r, out, 1));
    EXPECT_STREQ(R"(09:05:07|Oper| WARN|       net|0x000010e1:player.cpp:88:play|hello world)"
                 "\r\n", out);
    std::memset(out, 0, sizeof out);
    ASSERT_EQ(0, XKT_logDefFormatter("E/tag: text", out, 0));
    EXPECT_STREQ("E/tag: text", out);
}

// The path is read on another thread, without the lock, while the file
// rotates: each read is a path the file had, never a mix of two.
TEST_F(FileChannelTest, FirstLineMakesAPrivateFileThatRotatesAtTheLimitKeepingTwo) {
    char none[8] = "unset";
    EXPECT_STREQ("", XKT_logGetFilePath(none, sizeof none));
    std::atomic<bool> done{false};
    std::set<std::string> read;
    std::thread reader([&] {
        char path[4096];
        while (!done) read.insert(XKT_logGetFilePath(path, 255 + XKT_rootLength()));
    });
    ASSERT_EQ(0, XKT_logFileOutput(std::string(130047, 'a').c_str()));
    const std::string first = current();
    EXPECT_TRUE(std::regex_match(first, std::regex(R"(33-44-55_20\d{12}\.log)"))) << first;
    EXPECT_EQ("600\n", mode(first));
    EXPECT_EQ("700\n", mode());
    ASSERT_EQ(0, XKT_logFileOutput("b\n"));  // 130047 bytes: still appended
    EXPECT_EQ(first, current());
    EXPECT_EQ(130049u, cat(first).size());

    ASSERT_EQ(0, XKT_logFileOutput(std::string(130048, 'c').c_str()));
    const std::string second = current();
    ASSERT_EQ(0, XKT_logFileOutput("d\n"));  // exactly 130048 bytes: a new file
    const std::string third = current();
    done = true;
    reader.join();
    EXPECT_EQ(130048u, cat(second).size());
    EXPECT_EQ("d\n", cat(third));
    EXPECT_EQ(second < third ? second + "\n" + third + "\n" : third + "\n" + second + "\n", ls());
    const std::set<std::string> written{"", dir_ + "/" + first, dir_ + "/" + second, dir_ + "/" + third};
    for (const std::string& path : read) EXPECT_EQ(1u, written.count(path)) << path;
}

TEST_F(FileChannelTest, LinesAfterTheFileOrItsDirectoryVanishedGoToANewFile) {
    for (bool mayWait : {false, true}) {
        ASSERT_EQ(0, writeLogFileLine("a\n", 2));
        const std::string first = current();
        // Waiting lines are written after the delete: they belong in the new file too.
        ASSERT_EQ(0, writeLogFileLine("b\n", 2, mayWait));
        ASSERT_EQ(0, unlink((dir_ + "/" + first).c_str()));
        ASSERT_EQ(0, writeLogFileLine("c\n", 2, mayWait));
        flushLogFileLines();
        EXPECT_NE(first, current());
        EXPECT_EQ(current() + "\n", ls());
        EXPECT_EQ(mayWait ? "b\nc\n" : "c\n", cat(current())) << mayWait;
        // The old handle was closed: no descriptor holds the unlinked file.
        EXPECT_EQ("", capture("ls -l /proc/" + std::to_string(getpid()) + "/fd | grep " + first));
        ASSERT_EQ(0, unlink((dir_ + "/" + current()).c_str()));
    }
    EXPECT_EQ(0u, logFileLinesLost());
    // The directory gone and a file in its place: the open fails, and the
    // very next line tries again.
    ASSERT_EQ(0, std::system(("rm -rf " + dir_ + " && touch " + dir_).c_str()));
    ASSERT_EQ(0, XKT_logFileOutput("lost\n"));
    EXPECT_EQ(1u, logFileLinesLost());
    ASSERT_EQ(0, unlink(dir_.c_str()));
    ASSERT_EQ(0, XKT_logFileOutput("d\n"));
    EXPECT_EQ("700\n", mode());
    EXPECT_EQ(current() + "\n", ls());
    EXPECT_EQ("d\n", cat(current()));
}

// A small tmpfs in a mount namespace of the child's own stands in for a
// full disk: every line is either whole in the file or counted, and each
// short write is reported (with the code naming the cause, ENOSPC).
TEST_F(FileChannelTest, FullDiskCountsEveryLostLineAndReportsEachShortWrite) {
    constexpr int kLines = 400;
    const std::regex report(R"(\|Run\|DEBUG\|       LOG\|\d+:log_channels\.cpp:\d+:)"
                            R"(XKT_logWriteFile\|code:28\|fwrite failed$)");
    for (bool mayWait : {false, true}) {
        const int status = xkt::test::runInChild([&] {
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=16k") != 0) {
                return 77;
            }
            if (!xkt::test::passEverything()) return 2;
            const size_t before = xkt::test::readTagged("XKT").size();
            // 64 bytes a line: the disk fills at a line's end, inside a batch
            // that the first line, written alone, shifted.
            for (int i = 0; i < kLines; ++i) {
                const std::string line = "line " + std::to_string(1000 + i) + std::string(54, '.') + "\n";
                writeLogFileLine(line.c_str(), line.size(), mayWait && i > 0);
            }
            flushLogFileLines();
            const uint64_t lost = logFileLinesLost();
            const auto said = xkt::test::readTagged("XKT");
            const size_t reports = said.size() - before;
            const bool reported = reports > 0 && std::regex_search(said.back().message, report) &&
                                  (mayWait ? reports <= lost : reports == lost);
            return wholeLines() + lost == kLines && lost > 0 && reported ? 0 : 1;
        });
        if (status == 77) GTEST_SKIP() << "no private mount namespace (needs root)";
        EXPECT_EQ(0, status) << "mayWait " << mayWait;
    }
}

TEST_F(FileChannelTest, NameAndPathBufferLimits) {
    char name[300];
    EXPECT_EQ(-1, XKT_logGetOutputName(name, 247));
    ASSERT_EQ(0, XKT_logGetOutputName(name, 246));
    char path[4096];
    EXPECT_EQ(nullptr, XKT_logGetFilePath(path, 256 + XKT_rootLength()));

    std::strcpy(g_macString, "00:11:22:33:44:5");
    EXPECT_EQ(-1, XKT_logGetOutputName(name, 246));
    EXPECT_EQ(0, XKT_logFileOutput("dropped\n"));
    EXPECT_EQ("", ls());
    EXPECT_EQ(1u, logFileLinesLost());
}
