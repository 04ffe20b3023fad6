// A fresh box root for one test process. Every test that touches the
// platform creates one first: the platform reads XKT_ROOT once per process,
// so it must be set before the first platform call.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <utility>
#include <sys/wait.h>
#include <unistd.h>

#include "files.h"

namespace xkt::test {

class Sandbox {
public:
    Sandbox() {
        char pattern[] = "/tmp/xkt-test-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        root_ = pattern;
        setenv("XKT_ROOT", root_.c_str(), 1);
    }
    ~Sandbox() {
        if (!root_.empty() && std::getenv("XKT_KEEP_SANDBOX") == nullptr) {
            std::error_code ignored;  // a leftover temp dir is not a test failure
            std::filesystem::remove_all(root_, ignored);
        }
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& root() const { return root_; }
    std::string path(const std::string& boxPath) const { return root_ + boxPath; }

private:
    std::string root_;
};

// Fixture for tests that need only a sandbox.
class SandboxTest : public ::testing::Test {
protected:
    std::string path(const std::string& boxPath) const { return sandbox_.path(boxPath); }
    Sandbox sandbox_;
};

// Waits for a child and returns its exit status, 128 + the signal that
// killed it, or -1 when there is no such child. A child still running after
// a minute is killed and reported: a hang fails its test, not the whole run.
inline int waitForExit(pid_t pid) {
    int status = 0;
    for (int waited = 0; pid > 0; waited += 10) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0) return -1;
        if (waited >= 60000) {
            ADD_FAILURE() << "child " << pid << " still running after 60 s: killed";
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(10000);
    }
    return -1;
}

// Starts fn in a forked child that exits with fn's result (the child's
// gtest assertions do not reach the parent: report through the status).
template <typename Fn>
pid_t spawn(Fn&& fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    return pid;
}

// Runs fn in a forked child and returns its exit status.
template <typename Fn>
int runInChild(Fn&& fn) {
    return waitForExit(xkt::test::spawn(std::forward<Fn>(fn)));
}

// Where the build put the programs (bin/ and libexec/xktlog/).
inline std::string binDir() { return XKT_TEST_BIN_DIR; }
inline std::string libexecDir() { return XKT_TEST_LIBEXEC_DIR; }

// Runs a shell command line and returns its standard output.
inline std::string capture(const std::string& command, int* exitStatus = nullptr) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
    int status = pclose(pipe);
    if (exitStatus != nullptr) *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

}  // namespace xkt::test
