// The shell runner: exit statuses, the stand-ins' folder first on the PATH,
// short commands finished when XKT_csclose returns, long-running commands left
// running with a pid that kill -9 stops and no zombie after the next call, and
// no pipe of one runner leaking into the commands of another.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
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

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// State letter of /proc/PID/stat ('Z' for a zombie), 0 when there is no such
// process any more.
char processState(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? 0 : stat[paren + 2];
}

// True once pid is gone and reaped (by the runner: it is our child, so a
// process of ours that nobody reaped would stay a zombie).
bool reapedByRunner(pid_t pid) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < limit) {
        XKT_system("true");  // the next runner call reaps what has ended
        if (processState(pid) == 0) return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::set<int> openFds(pid_t pid) {
    std::set<int> fds;
    std::string dirPath = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* dir = opendir(dirPath.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') fds.insert(std::atoi(entry->d_name));
        }
        closedir(dir);
    }
    return fds;
}

class ShellRunner : public xkt::test::SandboxTest {
protected:
    // A program that releases its output and runs until killed, as the
    // logcat collector does; its path is a simple command.
    std::string lingerer() {
        std::string path = sandbox_.path("/linger");
        std::ofstream(path) << "#!/bin/sh\nexec >/dev/null 2>&1\nexec sleep 30\n";
        chmod(path.c_str(), 0755);
        return path;
    }

    pid_t startLingerer() {
        int32_t reserved = 1234, pid = -1;
        XKT_CsHandle* handle = XKT_csopen(lingerer().c_str(), "r", &reserved, &pid);
        EXPECT_NE(handle, nullptr);
        EXPECT_EQ(reserved, 1234);
        EXPECT_GT(pid, 0);
        EXPECT_EQ(XKT_csclose(handle, 0), 0);
        return pid;
    }
};

TEST_F(ShellRunner, SystemReturnsTheExitStatus) {
    EXPECT_EQ(XKT_system("true"), 0);
    EXPECT_EQ(XKT_system("exit 7"), 7);
    EXPECT_EQ(XKT_system("busybox false"), 1);
    EXPECT_EQ(XKT_system("kill -9 $$"), 128 + SIGKILL);
    EXPECT_EQ(XKT_system(("busybox touch " + sandbox_.path("/made")).c_str()), 0);
    EXPECT_TRUE(exists(sandbox_.path("/made")));
    EXPECT_LT(XKT_system(nullptr), 0);
}

TEST_F(ShellRunner, StandInFolderComesFirstOnTheCommandsPathOnly) {
    std::string saved = std::getenv("PATH");
    std::string out = sandbox_.path("/path.txt");
    ASSERT_EQ(XKT_system(("echo \"$PATH\" > " + out).c_str()), 0);
    std::string path = readFile(out);
    std::string first = path.substr(0, path.find(':'));
    EXPECT_EQ(first, xkt::host::libexecDir());
    EXPECT_NE(path.find(saved), std::string::npos);
    EXPECT_EQ(std::string(std::getenv("PATH")), saved);
}

TEST_F(ShellRunner, StandInShadowsTheSystemsProgram) {
    std::string dir = sandbox_.path("/libexec");
    setenv("XKT_LIBEXEC_DIR", dir.c_str(), 1);
    if (xkt::host::libexecDir() != dir) {
        GTEST_SKIP() << "the stand-ins' folder was resolved earlier in this process";
    }
    ASSERT_TRUE(xkt::host::makeDirs(dir));
    std::ofstream(dir + "/top") << "#!/bin/sh\necho \"stand-in $*\" > " << sandbox_.path("/top.out")
                                << "\n";
    chmod((dir + "/top").c_str(), 0755);

    EXPECT_EQ(XKT_system("top -m 5 -t -n 2 -s cpu"), 0);
    EXPECT_EQ(readFile(sandbox_.path("/top.out")), "stand-in -m 5 -t -n 2 -s cpu\n");
    XKT_CsHandle* handle = XKT_csopen("top -n 1", "r", nullptr, nullptr);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(XKT_csclose(handle, 0), 0);
    EXPECT_EQ(readFile(sandbox_.path("/top.out")), "stand-in -n 1\n");
}

TEST_F(ShellRunner, ShortCommandsHaveTakenEffectWhenCloseReturns) {
    std::string victim = sandbox_.path("/victim"), second = sandbox_.path("/second");
    for (int round = 0; round < 20; ++round) {
        std::ofstream(victim) << "x";
        std::string command = "busybox rm -f " + victim;
        XKT_CsHandle* handle = XKT_csopen(command.c_str(), "r", nullptr, nullptr);
        ASSERT_NE(handle, nullptr);
        ASSERT_EQ(XKT_csclose(handle, 0), 0);
        ASSERT_FALSE(exists(victim)) << "round " << round;
    }
    // Compound: the shell itself runs it, and its pid is waited for.
    std::ofstream(victim) << "x";
    XKT_CsHandle* handle = XKT_csopen(
        ("busybox rm -f " + victim + " && busybox touch " + second).c_str(), "r", nullptr, nullptr);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(XKT_csclose(handle, 0), 0);
    EXPECT_FALSE(exists(victim));
    EXPECT_TRUE(exists(second));

    // With the caller's input a cat would wait for a terminal or a test
    // harness; with /dev/null it ends at once.
    std::string out = sandbox_.path("/cat.out");
    handle = XKT_csopen(("busybox cat > " + out).c_str(), "r", nullptr, nullptr);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(XKT_csclose(handle, 0), 0);
    EXPECT_TRUE(exists(out));
}

TEST_F(ShellRunner, DrainsOutputLargerThanAPipeAndRefusesWhatItCannotRun) {
    int32_t pid = -1;
    XKT_CsHandle* handle = XKT_csopen("busybox seq 1 200000", "r", nullptr, &pid);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(XKT_csclose(handle, 0), 0);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(XKT_csopen(nullptr, "r", nullptr, nullptr), nullptr);
    EXPECT_EQ(XKT_csopen("true", "w", nullptr, nullptr), nullptr);
    EXPECT_EQ(XKT_csopen("true", nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(XKT_csclose(nullptr, 0), -1);
}

TEST_F(ShellRunner, LongRunningCommandIsLeftRunningKilledByItsPidAndReaped) {
    pid_t pid = startLingerer();
    ASSERT_GT(pid, 0);
    // The pid is the program itself (the shell exec'd it), in a group of its own.
    EXPECT_EQ(readFile("/proc/" + std::to_string(pid) + "/comm"), "sleep\n");
    EXPECT_EQ(getpgid(pid), pid);
    char state = processState(pid);
    EXPECT_TRUE(state == 'S' || state == 'R') << state;

    EXPECT_EQ(XKT_system(("busybox kill -9 " + std::to_string(pid)).c_str()), 0);
    EXPECT_TRUE(reapedByRunner(pid));
}

TEST_F(ShellRunner, LogcatCollectorKeepsRunningUntilKilled) {
    std::string standIn = xkt::host::libexecDir() + "/logcat";
    if (!exists(standIn)) GTEST_SKIP() << "no logcat stand-in at " << standIn;
    std::string file = sandbox_.path("/collected.log");
    int32_t pid = -1;
    XKT_CsHandle* handle =
        XKT_csopen(("logcat -v threadtime -f " + file).c_str(), "r", nullptr, &pid);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(XKT_csclose(handle, 0), 0);
    EXPECT_EQ(readFile("/proc/" + std::to_string(pid) + "/comm"), "logcat\n");
    char exe[4096] = {}, expected[4096] = {};
    ASSERT_GT(readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1), 0);
    ASSERT_NE(realpath(standIn.c_str(), expected), nullptr);
    EXPECT_STREQ(exe, expected) << "the stand-in, found first on the PATH";
    EXPECT_TRUE(exists(file));

    EXPECT_EQ(XKT_system(("busybox kill -9 " + std::to_string(pid)).c_str()), 0);
    EXPECT_TRUE(reapedByRunner(pid));
}

TEST_F(ShellRunner, ChildrenStartWithDefaultSignals) {
    // Caller quirks that must not reach the commands: an ignored SIGPIPE and
    // a blocked SIGTERM.
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    sigset_t block, oldMask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &oldMask);

    std::string out = sandbox_.path("/status");
    int rc = XKT_system(("busybox grep -E '^Sig(Ign|Blk)' /proc/self/status > " + out).c_str());
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGPIPE, &previous, nullptr);
    ASSERT_EQ(rc, 0);

    std::string status = readFile(out);
    unsigned long ignored = 0, blocked = 0;
    ASSERT_EQ(std::sscanf(status.c_str(), "SigBlk: %lx SigIgn: %lx", &blocked, &ignored), 2)
        << status;
    EXPECT_EQ(blocked & (1ul << (SIGTERM - 1)), 0ul) << status;
    EXPECT_EQ(ignored & (1ul << (SIGPIPE - 1)), 0ul) << status;
}

TEST_F(ShellRunner, ConcurrentRunnersDoNotLeakPipesIntoEachOthersCommands) {
    // Descriptors the test process itself lets children inherit are allowed.
    std::set<int> inheritable = {0, 1, 2};
    for (int fd : openFds(getpid())) {
        int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) inheritable.insert(fd);
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int t = 0; t < 3; ++t) {
        busy.emplace_back([&] {
            while (!stop) {
                XKT_CsHandle* handle = XKT_csopen("busybox true", "r", nullptr, nullptr);
                if (handle != nullptr) XKT_csclose(handle, 0);
            }
        });
    }
    // Checked while the other runners still work: a leaked write end would
    // also keep their XKT_csclose waiting until the lingerer is killed.
    std::vector<pid_t> lingerers;
    for (int i = 0; i < 8; ++i) {
        pid_t pid = startLingerer();
        lingerers.push_back(pid);
        for (int fd : openFds(pid)) {
            EXPECT_TRUE(inheritable.count(fd) == 1) << "pid " << pid << " holds fd " << fd;
        }
    }
    for (pid_t pid : lingerers) XKT_system(("busybox kill -9 " + std::to_string(pid)).c_str());
    stop = true;
    for (auto& t : busy) t.join();
    for (pid_t pid : lingerers) EXPECT_TRUE(reapedByRunner(pid)) << pid;
}

}  // namespace
