// The shell runner: exit statuses, the stand-ins' folder first on the PATH,
// short commands finished when XKT_csclose returns, long-running commands left
// running with a pid that kill -9 stops and no zombie after the next call, and
// no pipe of one runner leaking into the commands of another.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "root_path.h"
#include "sandbox.h"
#include "xkt_osal.h"

namespace {

using xkt::test::exists;
using xkt::test::readFile;

std::string proc(pid_t id, const char* file) { return "/proc/" + std::to_string(id) + '/' + file; }

// Kills pid; true once it is gone and reaped by the runner: it is our
// child, so a process nobody reaped would stay a zombie in /proc.
bool killedAndReaped(pid_t pid) {
    if (XKT_system(("busybox kill -9 " + std::to_string(pid)).c_str()) != 0) return false;
    for (int i = 0; i < 1000; ++i) {
        XKT_system("true");  // the next runner call reaps what has ended
        if (!exists(proc(pid, "stat"))) {
            return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD;
        }
        XKT_sleep(5);
    }
    return false;
}

pid_t runThrough(const std::string& command) {
    int32_t pid = -1;
    XKT_CsHandle* handle = XKT_csopen(command.c_str(), "r", nullptr, &pid);
    EXPECT_NE(handle, nullptr) << command;
    EXPECT_EQ(XKT_csclose(handle, 0), 0) << command;
    return pid;
}

class ShellRunner : public xkt::test::SandboxTest {
protected:
    // A program that releases its output and runs until killed, as the
    // logcat collector does.
    std::string lingerer() {
        std::string path = sandbox_.path("/linger");
        std::ofstream(path) << "#!/bin/sh\nexec >/dev/null 2>&1\nexec sleep 30\n";
        chmod(path.c_str(), 0755);
        return path;
    }
};

// The stand-ins' folder comes first on the command's PATH only.
TEST_F(ShellRunner, SystemReturnsTheExitStatusWithTheStandInsFirstOnThePath) {
    struct Case { const char* command; int status; };
    for (const Case& c : {Case{"true", 0}, Case{"exit 7", 7}, Case{"busybox false", 1},
                          Case{"kill -9 $$", 128 + SIGKILL}}) {
        EXPECT_EQ(XKT_system(c.command), c.status) << c.command;
    }
    EXPECT_LT(XKT_system(nullptr), 0);
    std::string saved = std::getenv("PATH");
    std::string out = sandbox_.path("/path.txt");
    ASSERT_EQ(XKT_system(("echo \"$PATH\" > " + out).c_str()), 0);
    std::string path = readFile(out);
    EXPECT_EQ(path.substr(0, path.find(':')), xkt::host::libexecDir());
    EXPECT_NE(path.find(saved), std::string::npos);
    EXPECT_EQ(std::string(std::getenv("PATH")), saved);
}

TEST_F(ShellRunner, ShortCommandsHaveEndedWhenCloseReturns) {
    // Simple, and compound (the shell itself runs it, and its pid is waited for).
    std::string victim = sandbox_.path("/victim"), second = sandbox_.path("/second");
    for (int round = 0; round < 20; ++round) {
        std::ofstream(victim) << "x";
        runThrough("busybox rm -f " + victim + (round == 19 ? " && busybox touch " + second : ""));
        ASSERT_FALSE(exists(victim)) << "round " << round;
    }
    EXPECT_TRUE(exists(second));
    // Output larger than a pipe is drained; a cat reading the caller's input
    // would never end, with /dev/null it does.
    pid_t pid = runThrough("busybox seq 1 200000");
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    runThrough("busybox cat > " + sandbox_.path("/cat.out"));
    EXPECT_TRUE(exists(sandbox_.path("/cat.out")));
}

// A lingering program and the logcat stand-in, as the library runs it: both
// are left running under their own pid, which kill -9 stops.
TEST_F(ShellRunner, LongRunningCommandsAreLeftRunningKilledByPidAndReaped) {
    std::string standIn = xkt::host::libexecDir() + "/logcat";
    ASSERT_TRUE(exists(standIn)) << standIn;
    std::string file = sandbox_.path("/collected.log");
    pid_t lingering = runThrough(lingerer());
    pid_t logcat = runThrough("logcat -v threadtime -f " + file);
    ASSERT_TRUE(lingering > 0 && logcat > 0);  // kill -9 -1 would hit every process of ours
    EXPECT_EQ(readFile(proc(lingering, "comm")), "sleep\n");
    EXPECT_EQ(getpgid(lingering), lingering);
    EXPECT_EQ(readFile(proc(logcat, "comm")), "logcat\n") << "the program's own pid";
    for (pid_t pid : {lingering, logcat}) {
        std::string state = readFile(proc(pid, "stat"));
        EXPECT_TRUE(state.find(") S ") != state.npos || state.find(") R ") != state.npos) << state;
        EXPECT_TRUE(killedAndReaped(pid)) << pid;
    }
}

// A pipe of one runner inherited by another's command would keep the first's
// XKT_csclose waiting until that command is killed.
TEST_F(ShellRunner, ConcurrentRunnersDoNotLeakPipesIntoEachOthersCommands) {
    auto openFds = [](pid_t pid) {
        std::set<int> fds;
        std::error_code gone;
        for (const auto& fd : std::filesystem::directory_iterator(proc(pid, "fd"), gone)) {
            fds.insert(std::stoi(fd.path().filename()));
        }
        return fds;
    };
    std::set<int> inheritable = {0, 1, 2};
    for (int fd : openFds(getpid())) {
        if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) inheritable.insert(fd);
    }
    std::string command = lingerer();  // written before any spawn could inherit it
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int t = 0; t < 3; ++t) {
        busy.emplace_back([&] {
            while (!stop) XKT_csclose(XKT_csopen("busybox true", "r", nullptr, nullptr), 0);
        });
    }
    std::vector<pid_t> lingerers;
    for (int i = 0; i < 8; ++i) {
        lingerers.push_back(runThrough(command));
        for (int fd : openFds(lingerers.back())) EXPECT_EQ(inheritable.count(fd), 1u) << fd;
    }
    stop = true;
    for (auto& t : busy) t.join();
    for (pid_t pid : lingerers) EXPECT_TRUE(killedAndReaped(pid)) << pid;
}

}  // namespace
