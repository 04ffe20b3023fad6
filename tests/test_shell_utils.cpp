// The shell runner's routes and the file operations, on real files and real
// processes; and the library as a whole under roots and a model name that are
// not plain shell words: nothing outside the root is touched, nothing they
// hold runs, nothing is lost, and no command prints onto the caller's terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <unistd.h>

#include "log_entries.h"
#include "log_settings.h"
#include "sandbox.h"
#include "shell_utils.h"
#include "xkt_log.h"

namespace fs = std::filesystem;
using namespace xkt::log;

namespace {

using xkt::test::exists;

// Messages pass as in any process once the managing process runs.
class ShellUtils : public xkt::test::SandboxTest {
protected:
    void SetUp() override { ASSERT_TRUE(xkt::test::passEverything()); }
};

TEST_F(ShellUtils, RunnerRoutes) {
    const std::string made = path("/made/deep"), note = path("/mkdir-note"), plain = path("/plain");
    EXPECT_GT(XKT_actShellCmd(("busybox mkdir -p " + made).c_str()), 0) << "streamed: a pid";
    EXPECT_TRUE(exists(made));
    g_iLogcatMode = 1;
    EXPECT_EQ(0, XKT_actShellCmd(("busybox mkdir -p " + made + "2").c_str()));
    EXPECT_TRUE(exists(made + "2"));
    for (const std::string& file : {note, plain}) std::ofstream(file) << "x";
    EXPECT_EQ(0, XKT_actShellCmd(("busybox rm -f " + note).c_str())) << "path mentions mkdir";
    EXPECT_GT(XKT_actShellCmd(("busybox rm -f " + plain).c_str()), 0);
    EXPECT_FALSE(exists(note) || exists(plain)) << "both done when the runner returns";
    // A platform that starts the command but reports no pid: the preset -1, and nothing said.
    ShellOps noPid = kPlatformShell;
    noPid.csopen = [](const char* c, const char* m, int32_t* r, int32_t*) { return XKT_csopen(c, m, r, nullptr); };
    EXPECT_EQ(-1, runShellCommand("busybox true", noPid));
    EXPECT_EQ(-1, XKT_actShellCmd(nullptr));
    EXPECT_EQ(1u, xkt::test::readTagged("XKT").size()) << "only the missing command is reported";

}

TEST_F(ShellUtils, FileOperationsEdgeCases) {
    const std::string file = path("/file"), dir = path("/dir"), longName(150, 'e');  // beyond a 128-byte entry path
    EXPECT_EQ(0, XKT_deleteFile(path("/missing").c_str()));
    std::ofstream(file) << "x";
    EXPECT_EQ(0, XKT_createFolder(file.c_str())) << "a file stands there";
    EXPECT_TRUE(fs::is_regular_file(file));
    EXPECT_TRUE(xkt::test::readTagged("XKT").empty()) << "neither runs a command";

    EXPECT_EQ(0, XKT_createFolder((dir + "/sub").c_str()));
    // Names are one word of the removal command, whatever they hold.
    const std::string hostile[] = {"/b c", "/x;touch pwned", "/it's", "/$(touch pwned2)", "/-rf"};
    for (const std::string& name : hostile) std::ofstream(dir + name) << "x";
    for (const std::string& name : {std::string("/sub/kept"), "/" + longName}) std::ofstream(dir + name) << "x";
    fs::create_symlink(file, dir + "/link");
    EXPECT_EQ(-1, XKT_deleteFile(dir.c_str())) << "rm -f leaves a folder";
    EXPECT_EQ(0, XKT_deleteAllfileofFolder(dir.c_str()));
    for (const std::string& name : hostile) EXPECT_FALSE(exists(dir + name)) << name;
    EXPECT_FALSE(fs::is_symlink(dir + "/link") || exists("pwned") || exists("pwned2"));
    EXPECT_TRUE(exists(dir + "/sub/kept") && exists(file)) << "sub-folders and link targets stay";
    EXPECT_TRUE(exists(dir + "/" + longName)) << "refused, never cut";
    EXPECT_EQ(0, XKT_deleteAllfileofFolder((dir + "/sub").c_str()));
    EXPECT_EQ(0, XKT_deleteAllfileofFolder((dir + "/sub").c_str())) << "now empty";
    EXPECT_EQ(-1, XKT_deleteAllfileofFolder(path("/none").c_str()));
    const std::string deep = path("/" + std::string(300, 'p'));  // command lines hold 255 characters
    EXPECT_EQ(-1, XKT_createFolder(deep.c_str()));
    EXPECT_FALSE(exists(deep));
}

// A root named like each case, beside canaries that an unquoted command
// would remove ("rm -rf <parent>/a b/tmp/log" removes <parent>/a and
// ./b/tmp/log) or create (";touch pwned", "$(touch pwned)").
constexpr const char* kCanaries[] = {"/a/keep", "/x/keep", "/new/keep", "/cwd/b/tmp/log/keep"};

class OddRoot : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        for (const char* canary : kCanaries) {
            fs::create_directories(fs::path(parent_ + canary).parent_path());
            std::ofstream(parent_ + canary) << "keep";
        }
        fs::create_directories(root_ + "/system/iptv/setting");
        std::ofstream(root_ + "/system/iptv/setting/softparam.ini")
            << "SoftParam.UniLogOptimization.Enable 1\n";
        setenv("XKT_ROOT", root_.c_str(), 1);
        setenv("XKT_MAC", "00:11:22:33:44:55", 1);
        ASSERT_EQ(0, chdir((parent_ + "/cwd").c_str()));
        // The caller's terminal, as the commands would reach it.
        stderrCopy_ = dup(STDERR_FILENO);
        const int sink = open((parent_ + "/stderr").c_str(), O_WRONLY | O_CREAT, 0600);
        dup2(sink, STDERR_FILENO);
        close(sink);
    }
    void TearDown() override {
        dup2(stderrCopy_, STDERR_FILENO);
        close(stderrCopy_);
        EXPECT_EQ(0, chdir("/")) << "out of the folder the sandbox removes";
    }
    std::vector<std::string> namesIn(const std::string& boxDir) const { return xkt::test::namesIn(root_ + boxDir); }
    xkt::test::Sandbox sandbox_;  // the parent: XKT_ROOT is set to the root inside it
    const std::string parent_ = sandbox_.root(), root_ = parent_ + "/" + GetParam();
    int stderrCopy_ = -1;
};

TEST_P(OddRoot, BothStoresWorkAndNothingOutsideTheRootIsTouched) {
    ASSERT_EQ(0, XKT_property_set("ro.product.model", "A B/C"));  // anyone may set it
    int32_t hours = 1, off = 0, on = 1;
    LogParam param{&off, &hours, &on, &on};
    ASSERT_EQ(0, XKT_logInit(0, XKT_LOG_LEVEL_ALL, XKT_LOG_TYPE_ALL, "ALL", &param));
    ASSERT_TRUE(fs::is_directory(root_ + "/tmp/log") && fs::is_directory(root_ + "/tmp/DQN"));

    ASSERT_EQ(0, XKT_errorlogFileOutput("E/odd(1): an error line\n"));
    ASSERT_EQ(0, XKT_errorlogOutputTrigger());
    const std::vector<std::string> errors = namesIn("/data/tarvek-log/Error");
    ASSERT_EQ(1u, errors.size());
    EXPECT_TRUE(std::regex_match(errors[0], std::regex(R"(Err_A B_C_334455_\d{14}_00\.log\.tar\.gz)")))
        << errors[0];
    EXPECT_TRUE(namesIn("/tmp/errorlog").empty());

    ASSERT_EQ(0, XKT_expLogToTmp(0));
    fs::create_directories(root_ + "/data/tombstones");
    std::ofstream(root_ + "/data/tombstones/tombstone_00") << "crash";
    ASSERT_EQ(0, XKT_explogOutputTrigger());
    const std::vector<std::string> exceptions = namesIn("/data/tarvek-log/exp");
    ASSERT_EQ(2u, exceptions.size()) << "the snapshot and the tombstones";
    EXPECT_TRUE(std::regex_match(exceptions[1], std::regex(R"(Exp_A B_C_334455_\d{14}_01\.log\.tar\.gz)")));
    EXPECT_TRUE(namesIn("/tmp/DQN").empty());
    EXPECT_TRUE(namesIn("/data/tombstones").empty());

    for (const char* canary : kCanaries) EXPECT_TRUE(exists(parent_ + canary)) << canary;
    EXPECT_FALSE(exists(parent_ + "/cwd/pwned") || exists(parent_ + "/pwned") || exists(root_ + "/pwned"));
    // What the commands printed (tar's member list at least) is in the log,
    // in the buffer the log thread leaves alone.
    fflush(stderr);
    EXPECT_EQ("", xkt::test::readFile(parent_ + "/stderr"));
    const auto lines = xkt::test::readEntries("/dev/log/radio");
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& l) { return l.message == "error0.log"; }));
}

INSTANTIATE_TEST_SUITE_P(Names, OddRoot,
                         ::testing::Values("a b", "x;touch pwned;y", "$(touch pwned)", "it's",
                                           "new\nline"));

}  // namespace
