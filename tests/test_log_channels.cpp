// The default formatter and the local file channel: names, modes, rotation,
// the ring of two files, and recovery when the file or its directory goes.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <regex>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "log_channels.h"
#include "log_entries.h"
#include "log_init.h"
#include "log_model.h"
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
    std::string mode(const std::string& name = "") const {
        return capture("stat -c %a " + dir_ + "/" + name);
    }
    static void waitForCheck() { usleep(2 * kLogFileCheckIntervalMs * 1000); }

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

TEST_F(FileChannelTest, FirstLineCreatesPrivateFileNamedFromMacAndTime) {
    char path[8] = "unset";
    EXPECT_STREQ("", XKT_logGetFilePath(path, sizeof path));
    ASSERT_EQ(0, XKT_logFileOutput("first\n"));
    const std::string name = current();
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(33-44-55_20\d{12}\.log)"))) << name;
    EXPECT_EQ(name + "\n", ls());
    EXPECT_EQ("first\n", cat(name));
    EXPECT_EQ("600\n", mode(name));
    EXPECT_EQ("700\n", mode());
}

TEST_F(FileChannelTest, RotatesAtTheLimitAndKeepsTwoFiles) {
    ASSERT_EQ(0, XKT_logFileOutput(std::string(130047, 'a').c_str()));
    const std::string first = current();
    ASSERT_EQ(0, XKT_logFileOutput("b\n"));  // 130047 bytes: still appended
    EXPECT_EQ(first, current());
    EXPECT_EQ(130049u, cat(first).size());

    ASSERT_EQ(0, XKT_logFileOutput(std::string(130048, 'c').c_str()));
    const std::string second = current();
    ASSERT_EQ(0, XKT_logFileOutput("d\n"));  // exactly 130048 bytes: a new file
    const std::string third = current();
    EXPECT_EQ(130048u, cat(second).size());
    EXPECT_EQ("d\n", cat(third));
    EXPECT_EQ(second < third ? second + "\n" + third + "\n" : third + "\n" + second + "\n", ls());
}

TEST_F(FileChannelTest, VanishedFileOrDirectoryIsReplacedByTheNextLine) {
    ASSERT_EQ(0, XKT_logFileOutput("a\n"));
    const std::string first = current();
    ASSERT_EQ(0, unlink((dir_ + "/" + first).c_str()));
    waitForCheck();
    ASSERT_EQ(0, XKT_logFileOutput("b\n"));
    EXPECT_NE(first, current());
    EXPECT_EQ(current() + "\n", ls());
    EXPECT_EQ("b\n", cat(current()));
    // The old handle was closed: no descriptor holds the unlinked file.
    EXPECT_EQ("", capture("ls -l /proc/" + std::to_string(getpid()) + "/fd | grep " + first));

    ASSERT_EQ(0, std::system(("rm -rf " + dir_).c_str()));
    waitForCheck();
    ASSERT_EQ(0, XKT_logFileOutput("c\n"));
    EXPECT_EQ("700\n", mode());
    EXPECT_EQ(current() + "\n", ls());
    EXPECT_EQ("c\n", cat(current()));
}

TEST_F(FileChannelTest, FailedWriteIsReportedAndLoggingResumes) {
    ASSERT_TRUE(xkt::test::passEverything());  // let the report through
    ASSERT_EQ(0, XKT_logFileOutput("a\n"));
    // A file size limit stands in for a full disk.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved {};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    struct rlimit full = saved;
    full.rlim_cur = 2;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &full));
    EXPECT_EQ(0, XKT_logFileOutput("lost\n"));
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &saved));
    ASSERT_EQ(0, XKT_logFileOutput("b\n"));
    EXPECT_EQ("a\nb\n", cat(current()));

    // DEBUG, module "LOG", and the code naming the cause (EFBIG).
    const auto said = xkt::test::readTagged("XKT");
    ASSERT_EQ(1u, said.size());
    const std::regex report(R"(\|Run\|DEBUG\|       LOG\|\d+:log_channels\.cpp:\d+:)"
                            R"(XKT_logWriteFile\|code:27\|fwrite failed$)");
    EXPECT_TRUE(std::regex_search(said[0].message, report)) << said[0].message;
}

TEST_F(FileChannelTest, NameAndPathBufferLimits) {
    char name[300];
    EXPECT_EQ(-1, XKT_logGetOutputName(name, 247));
    ASSERT_EQ(0, XKT_logGetOutputName(name, 246));
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(33-44-55_\d{14}\.log)"))) << name;
    char path[4096];
    EXPECT_EQ(nullptr, XKT_logGetFilePath(path, 256 + XKT_rootLength()));

    std::strcpy(g_macString, "00:11:22:33:44:5");
    EXPECT_EQ(-1, XKT_logGetOutputName(name, 246));
    EXPECT_EQ(0, XKT_logFileOutput("dropped\n"));
    EXPECT_EQ("", ls());
}
