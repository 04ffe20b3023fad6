// The shell runner's routes and the file operations, on real files and real
// processes, with the messages they leave in the Android log.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "log_entries.h"
#include "log_init.h"
#include "sandbox.h"
#include "shell_utils.h"
#include "xkt_log.h"

namespace fs = std::filesystem;
using namespace xkt::log;

namespace {

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// "LEVEL function: message" of the library's own record lines (module LOG).
std::vector<std::string> said() {
    std::vector<std::string> out;
    for (const auto& entry : xkt::test::readTagged("XKT")) {
        const std::string& l = entry.message;
        size_t module = l.find("|       LOG|"), code = l.find("|code:");
        if (module == std::string::npos || code == std::string::npos) continue;
        size_t function = l.rfind(':', code) + 1;
        out.push_back(l.substr(module - 5, 5) + " " + l.substr(function, code - function) + ": " +
                      l.substr(l.find('|', code + 1) + 1));
    }
    return out;
}

template <typename Pred>
bool eventually(Pred pred) {
    for (int i = 0; i < 1000 && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pred();
}

// Messages pass as in any process once the managing process runs.
class ShellUtils : public xkt::test::SandboxTest {
protected:
    void SetUp() override {
        ASSERT_EQ(0, XKT_property_set("xkt.log.mgmttakeover", "1"));
        XKT_logFilterSetModule("ALL");
    }
    std::string path(const std::string& p) { return sandbox_.path(p); }
};

TEST_F(ShellUtils, MkdirSubstringWithLogcatModeIsWaitedForOtherwiseStreamed) {
    std::string made = path("/made/deep"), note = path("/mkdir-note"), plain = path("/plain");
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
}

TEST_F(ShellUtils, LogcatCollectorRunsUntilKilledByTheReturnedPid) {
    std::string file = path("/collected.log");
    int32_t pid = XKT_actShellCmd(("logcat -v threadtime -f " + file).c_str());
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(eventually([&] { return exists(file); }));
    uintmax_t before = fs::file_size(file);
    XKT_LOG(XKT_LOG_TYPE_RUN, XKT_LOG_LEVEL_INFO, "player", "collected line");
    EXPECT_TRUE(eventually([&] { return fs::file_size(file) > before; }));

    EXPECT_GE(XKT_actShellCmd(("busybox kill -9 " + std::to_string(pid)).c_str()), 0);
    EXPECT_TRUE(eventually([&] {  // gone, or a zombie the runner reaps later
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string proc;
        return !std::getline(stat, proc) || proc.find(") Z ") != std::string::npos;
    }));
}

TEST_F(ShellUtils, RunnerFailures) {
    // A platform that starts the command but reports no pid: the preset -1
    // comes back, and nothing is said.
    ShellOps noPid = kPlatformShell;
    noPid.csopen = [](const char* c, const char* m, int32_t* r, int32_t*) {
        return XKT_csopen(c, m, r, nullptr);
    };
    EXPECT_EQ(-1, runShellCommand("busybox true", noPid));
    EXPECT_TRUE(said().empty());

    ShellOps broken{[](const char*) { return -1; },
                    [](const char*, const char*, int32_t*, int32_t*) -> XKT_CsHandle* { return nullptr; },
                    kPlatformShell.csclose};
    EXPECT_EQ(-1, runShellCommand("busybox true", broken));
    EXPECT_EQ(-1, XKT_actShellCmd(nullptr));
    g_iLogcatMode = 1;
    EXPECT_EQ(-1, runShellCommand("mkdir x", broken));
    EXPECT_EQ(said(), (std::vector<std::string>{"ERROR XKT_actShellCmd: XKT_csopen exec faild",
                                                "ERROR XKT_actShellCmd: null pointer",
                                                "ERROR XKT_actShellCmd: system exec faild"}));
}

TEST_F(ShellUtils, FileOperationsEdgeCases) {
    std::string file = path("/file"), dir = path("/dir"), deep = path("/" + std::string(300, 'p'));
    std::string longName(150, 'e');  // beyond the 128-byte entry path plus the root
    EXPECT_EQ(0, XKT_deleteFile(path("/missing").c_str()));
    std::ofstream(file) << "x";
    EXPECT_EQ(0, XKT_createFolder(file.c_str())) << "a file stands there";
    EXPECT_TRUE(fs::is_regular_file(file));
    EXPECT_TRUE(said().empty()) << "neither runs a command";

    EXPECT_EQ(0, XKT_createFolder((dir + "/sub").c_str()));
    for (const char* name : {"/sub/kept", "/a"}) std::ofstream(dir + name) << "x";
    std::ofstream(dir + "/" + longName) << "x";
    fs::create_symlink(file, dir + "/link");
    EXPECT_EQ(-1, XKT_deleteFile(dir.c_str())) << "rm -f leaves a folder";
    EXPECT_EQ(0, XKT_deleteAllfileofFolder(dir.c_str()));
    EXPECT_FALSE(exists(dir + "/a") || fs::is_symlink(dir + "/link"));
    EXPECT_TRUE(exists(dir + "/sub/kept") && exists(file)) << "sub-folders and link targets stay";
    EXPECT_TRUE(exists(dir + "/" + longName)) << "refused, never cut";
    EXPECT_EQ(0, XKT_deleteAllfileofFolder((dir + "/sub").c_str()));
    EXPECT_EQ(0, XKT_deleteAllfileofFolder((dir + "/sub").c_str())) << "now empty";
    EXPECT_EQ(-1, XKT_deleteAllfileofFolder(path("/none").c_str()));
    // Command lines hold 255 characters plus the root.
    EXPECT_EQ(-1, XKT_createFolder(deep.c_str()));
    EXPECT_FALSE(exists(deep));
    EXPECT_EQ(-1, XKT_chownUserToSystem(nullptr));
    auto lines = said();
    for (const char* told : {"ERROR XKT_deleteFile: Delete file failed",
                             "ERROR XKT_deleteAllfileofFolder: path too long",
                             "ERROR XKT_deleteAllfileofFolder: opendir failed",
                             "ERROR XKT_createFolder: path too long",
                             "DEBUG XKT_chownUserToSystem: enter XKT_chownSystem",
                             "ERROR XKT_chownUserToSystem: invalid param"}) {
        EXPECT_EQ(1, std::count(lines.begin(), lines.end(), told)) << told;
    }
}

}  // namespace
