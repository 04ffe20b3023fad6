// Shell commands of the OS layer: XKT_system waits for a command;
// XKT_csopen/XKT_csclose stream one's output.
//
// Two duties meet in XKT_csclose: a command that ends by itself (rm, tar)
// must be over when it returns, yet a command that runs until killed (a
// logcat writing to a file) must be left running. The handle drains the
// command's output to its end, then waits briefly for the command to exit;
// one still running has released its output on purpose and is left alone.
// Its pid goes on a list that every later runner call reaps, so it never
// stays a zombie past the next call once killed.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "root_path.h"
#include "xkt_osal.h"

extern char** environ;

struct XKT_CsHandle {
    int fd;     // read end of the command's standard output
    pid_t pid;
};

namespace {

// ---- Children left running -------------------------------------------------

struct Leftovers {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    std::vector<pid_t> pids;
};

// Never destroyed: a runner call may still come from a thread during exit.
Leftovers& leftovers() {
    static Leftovers* list = new Leftovers;
    return *list;
}

// A forked child does not inherit its parent's children, nor a lock some
// other thread of the parent held.
void lockBeforeFork() { pthread_mutex_lock(&leftovers().lock); }
void unlockInParent() { pthread_mutex_unlock(&leftovers().lock); }
void resetInChild() {
    leftovers().pids.clear();
    pthread_mutex_unlock(&leftovers().lock);
}

struct ForkHook {
    ForkHook() { pthread_atfork(lockBeforeFork, unlockInParent, resetInChild); }
};
const ForkHook forkHook;

void remember(pid_t pid) {
    Leftovers& list = leftovers();
    pthread_mutex_lock(&list.lock);
    list.pids.push_back(pid);
    pthread_mutex_unlock(&list.lock);
}

void reapLeftovers() {
    Leftovers& list = leftovers();
    pthread_mutex_lock(&list.lock);
    for (size_t i = 0; i < list.pids.size();) {
        pid_t done = waitpid(list.pids[i], nullptr, WNOHANG);
        if (done == list.pids[i] || (done < 0 && errno == ECHILD)) {
            list.pids[i] = list.pids.back();
            list.pids.pop_back();
        } else {
            ++i;
        }
    }
    pthread_mutex_unlock(&list.lock);
}

// ---- The child's environment -------------------------------------------------

// The stand-in programs (logcat, top) come first on the child's PATH, never
// on the caller's own.
std::string childPath() {
    const char* inherited = std::getenv("PATH");
    std::string path = inherited != nullptr && *inherited != '\0' ? inherited
                                                                  : "/usr/local/bin:/usr/bin:/bin";
    const std::string& libexec = xkt::host::libexecDir();
    return libexec.empty() ? path : libexec + ":" + path;
}

class Environment {
public:
    explicit Environment(const std::string& path) {
        for (char** at = environ; at != nullptr && *at != nullptr; ++at) {
            if (std::strncmp(*at, "PATH=", 5) != 0) entries_.emplace_back(*at);
        }
        entries_.push_back("PATH=" + path);
        for (std::string& entry : entries_) pointers_.push_back(entry.data());
        pointers_.push_back(nullptr);
    }
    char* const* get() { return pointers_.data(); }

private:
    std::vector<std::string> entries_;
    std::vector<char*> pointers_;
};

// ---- Simple commands ---------------------------------------------------------

// Characters that never make the shell do more than split words. Quotes,
// expansions, redirections, globs and separators are all outside the set.
bool isPlainCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr(" \t_./,:=+%@-", c) != nullptr;
}

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool isOnPath(const std::string& word, std::string_view path) {
    if (word.find('/') != std::string::npos) return isExecutableFile(word);
    while (true) {
        size_t colon = path.find(':');
        std::string dir(path.substr(0, colon));
        if (isExecutableFile((dir.empty() ? std::string(".") : dir) + "/" + word)) return true;
        if (colon == std::string_view::npos) return false;
        path.remove_prefix(colon + 1);
    }
}

// A command that is one program with plain arguments can be run with "exec",
// so the pid the caller gets (and kills) is the program's. Builtins and
// keywords ("cd", "exit", "if") are not on the PATH and are left to the shell.
bool canExec(std::string_view command, const std::string& path) {
    for (char c : command) {
        if (!isPlainCharacter(c)) return false;
    }
    size_t start = command.find_first_not_of(" \t");
    if (start == std::string_view::npos) return false;
    size_t end = command.find_first_of(" \t", start);
    std::string word(command.substr(start, end == std::string_view::npos ? end : end - start));
    return word.find('=') == std::string::npos && isOnPath(word, path);
}

// ---- Spawning ------------------------------------------------------------------

struct SpawnOptions {
    int stdoutFd = -1;      // -1: the caller's
    bool ownGroup = false;  // a group of its own, away from the caller's terminal
};

pid_t spawnShell(const std::string& command, const std::string& path, const SpawnOptions& options) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    if (options.stdoutFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, options.stdoutFd, STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    // A caller that ignores SIGPIPE or SIGCHLD, or blocks signals on its
    // threads, must not pass that on to the commands it runs.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigmask(&attr, &mask);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (options.ownGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attr, 0);
    }
    posix_spawnattr_setflags(&attr, flags);

    Environment environment(path);
    std::string shell = "sh", dashC = "-c", line = command;
    char* argv[] = {shell.data(), dashC.data(), line.data(), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environment.get());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

void drain(int fd) {
    char chunk[4096];
    while (true) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n == 0 || (n < 0 && errno != EINTR)) return;
    }
}

// Polls for the child's exit for up to graceMs; true once it is reaped.
bool reapWithin(pid_t pid, long graceMs) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    long pauseUs = 100;
    while (true) {
        pid_t done = waitpid(pid, nullptr, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) return true;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsedMs =
            (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsedMs >= graceMs) return false;
        timespec pause{0, pauseUs * 1000};
        nanosleep(&pause, nullptr);
        if (pauseUs < 5000) pauseUs *= 2;
    }
}

// Long enough for a command that just closed its output to finish exiting.
constexpr long kExitGraceMs = 50;

}  // namespace

extern "C" {

int32_t XKT_system(const char* command) {
    if (command == nullptr) return -1;
    reapLeftovers();
    pid_t pid = spawnShell(command, childPath(), SpawnOptions{});
    int status = pid < 0 ? -1 : waitFor(pid);
    // The command may have been a "kill" of a child left running.
    reapLeftovers();
    return status;
}

XKT_CsHandle* XKT_csopen(const char* command, const char* mode, int32_t* reserved, int32_t* pid) {
    (void)reserved;
    if (command == nullptr || mode == nullptr || std::strcmp(mode, "r") != 0) return nullptr;
    reapLeftovers();
    auto* handle = new (std::nothrow) XKT_CsHandle{-1, -1};
    int fds[2];
    // Close-on-exec: a command started by another thread at the same time
    // must not hold this pipe's write end, or the reader never sees its end.
    if (handle == nullptr || pipe2(fds, O_CLOEXEC) != 0) {
        delete handle;
        return nullptr;
    }
    std::string path = childPath();
    std::string line = canExec(command, path) ? std::string("exec ") + command : command;
    handle->pid = spawnShell(line, path, SpawnOptions{fds[1], true});
    close(fds[1]);
    if (handle->pid < 0) {
        close(fds[0]);
        delete handle;
        return nullptr;
    }
    handle->fd = fds[0];
    if (pid != nullptr) *pid = handle->pid;
    return handle;
}

int32_t XKT_csclose(XKT_CsHandle* handle, int32_t flags) {
    (void)flags;
    if (handle == nullptr) return -1;
    drain(handle->fd);
    close(handle->fd);
    if (!reapWithin(handle->pid, kExitGraceMs)) remember(handle->pid);
    delete handle;
    reapLeftovers();
    return 0;
}

}  // extern "C"
