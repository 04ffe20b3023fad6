// The shell runner's routes and the file operations, on real files and real
// processes, with the messages they leave in the Android log.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "log_entries.h"
#include "log_init.h"
#include "sandbox.h"
#include "shell_utils.h"
#include "xkt_log.h"

namespace fs = std::filesystem;
using namespace xkt::log;

namespace {

using xkt::test::eventually;
using xkt::test::exists;

// Messages pass as in any process once the managing process runs.
class ShellUtils : public xkt::test::SandboxTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(xkt::test::passEverything());
    }
    std::string path(const std::string& p) { return sandbox_.path(p); }
};

TEST_F(ShellUtils, RunnerRoutesAndTheLogcatCollector) {
    const std::string made = path("/made/deep"), note = path("/mkdir-note"), plain = path("/plain");
    EXPECT_GT(XKT_actShellCmd(("busybox mkdir -p " + made).c_str()), 0) << "streamed: a pid";
    EXPECT_TRUE(exists(made));
    g_iLogcatMode = 1;
    EXPECT_EQ(0, XKT_actShellCmd(("busybox mkdir -p " + made + "2").c_str()));
    EXPECT_TRUE(exists(made + "2"));
    std::ofstream(note) << "x";
    std::ofstream(plain) << "x";
    EXPECT_EQ(0, XKT_actShellCmd(("busybox rm -f " + note).c_str())) << "path mentions mkdir";
    EXPECT_GT(XKT_actShellCmd(("busybox rm -f " + plain).c_str()), 0);
    EXPECT_FALSE(exists(note) || exists(plain)) << "both done when the runner returns";
    // A platform that starts the command but reports no pid: the preset -1, and nothing said.
    ShellOps noPid = kPlatformShell;
    noPid.csopen = [](const char* c, const char* m, int32_t* r, int32_t*) { return XKT_csopen(c, m, r, nullptr); };
    EXPECT_EQ(-1, runShellCommand("busybox true", noPid));
    EXPECT_EQ(-1, XKT_actShellCmd(nullptr));
    const auto said = xkt::test::readTagged("XKT");  // only the missing command
    ASSERT_EQ(1u, said.size());
    EXPECT_TRUE(std::regex_match(said[0].message, std::regex(".*\\|ERROR\\|       LOG\\|.*:XKT_actShellCmd\\|code:\\d+\\|null pointer")))
        << said[0].message;

    // A logcat collector keeps running until killed by the returned pid.
    const std::string file = path("/collected.log");
    const int32_t pid = XKT_actShellCmd(("logcat -v threadtime -f " + file).c_str());
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(eventually([&] { return exists(file); }));
    const uintmax_t before = fs::file_size(file);
    XKT_LOG(XKT_LOG_TYPE_RUN, XKT_LOG_LEVEL_INFO, "player", "collected line");
    EXPECT_TRUE(eventually([&] { return fs::file_size(file) > before; }));

    EXPECT_GE(XKT_actShellCmd(("busybox kill -9 " + std::to_string(pid)).c_str()), 0);
    EXPECT_TRUE(eventually([&] {  // gone, or a zombie the runner reaps later
        const std::string stat = xkt::test::capture("cat /proc/" + std::to_string(pid) + "/stat 2>/dev/null");
        return stat.empty() || stat.find(") Z ") != std::string::npos;
    }));
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
    const std::string hostile[] = {"/a", "/b c", "/x;touch pwned", "/it's", "/$(touch pwned2)"};
    for (const std::string& name : hostile) std::ofstream(dir + name) << "x";
    for (const std::string& name : {std::string("/sub/kept"), "/" + longName}) std::ofstream(dir + name) << "x";
    fs::create_symlink(file, dir + "/link");
    EXPECT_EQ(-1, XKT_deleteFile(dir.c_str())) << "rm -f leaves a folder";
    EXPECT_EQ(0, XKT_deleteAllfileofFolder(dir.c_str()));
    for (const std::string& name : hostile) EXPECT_FALSE(exists(dir + name)) << name;
    EXPECT_FALSE(fs::is_symlink(dir + "/link"));
    EXPECT_FALSE(exists("pwned") || exists("pwned2") || exists(dir + "/pwned"));
    EXPECT_TRUE(exists(dir + "/sub/kept") && exists(file)) << "sub-folders and link targets stay";
    EXPECT_TRUE(exists(dir + "/" + longName)) << "refused, never cut";
    EXPECT_EQ(0, XKT_deleteAllfileofFolder((dir + "/sub").c_str()));
    EXPECT_EQ(0, XKT_deleteAllfileofFolder((dir + "/sub").c_str())) << "now empty";
    EXPECT_EQ(-1, XKT_deleteAllfileofFolder(path("/none").c_str()));
    const std::string deep = path("/" + std::string(300, 'p'));  // command lines hold 255 characters
    EXPECT_EQ(-1, XKT_createFolder(deep.c_str()));
    EXPECT_FALSE(exists(deep));
    EXPECT_EQ(-1, XKT_chownUserToSystem(nullptr));
}

}  // namespace
