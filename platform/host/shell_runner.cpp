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
//
// No child outlives the process: each is killed when the thread that
// started it ends (PR_SET_PDEATHSIG), and the groups of those left running
// are killed at exit. What a command prints goes into the Android log as
// DEBUG lines under the tag "shell", never onto the caller's terminal. On
// the box nobody sees a command's output, so no local file, collector or
// error log may get such a line: the lines go to the "radio" buffer, which
// the logcat reader of newer generations leaves alone (xkt-logcat -b radio
// shows them). On generations up to 2 the log thread reads every device,
// so there the output is dropped.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <signal.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "android/log.h"
#include "root_path.h"
#include "xkt_osal.h"
#include "xkt_utility.h"

extern char** environ;

struct XKT_CsHandle {
    int fd;       // read end of the command's standard output
    pid_t pid;
    int errorFd;  // read end of its error output
};

namespace {

// ---- Children left running -------------------------------------------------

// ---- A command's output into the log --------------------------------------

constexpr const char* kOutputTag = "shell";
constexpr size_t kOutputLineMax = 1024;

// Collects a command's output and writes it as log lines, one per line of
// output (a longer one in pieces).
class OutputLines {
public:
    void add(const char* data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            if (data[i] == '\n') {
                flush();
            } else {
                line_.push_back(data[i]);
                if (line_.size() >= kOutputLineMax) flush();
            }
        }
    }
    void flush() {
        if (!line_.empty() && kept()) {
            __android_log_buf_write(LOG_ID_RADIO, ANDROID_LOG_DEBUG, kOutputTag, line_.c_str());
        }
        line_.clear();
    }
    ~OutputLines() { flush(); }

private:
    static bool kept() {
        static const bool readByTheLogThread = getAndroidVersion() <= 2;
        return !readByTheLogThread;
    }

    std::string line_;
};

// Reads what is there without waiting; false once the writers are gone.
bool forwardAvailable(int fd, OutputLines& lines) {
    char chunk[4096];
    while (true) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            lines.add(chunk, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A line the command has not finished yet waits for its end.
        if (n < 0 && errno == EAGAIN) return true;
        lines.flush();
        return false;
    }
}

// Waits up to timeoutMs for fd to be readable (or closed); true if it is.
bool readable(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    int rc;
    while ((rc = poll(&entry, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return rc > 0;
}

// ---- Children left running -------------------------------------------------

// A child left running keeps its error output; what it writes there is
// taken at every later runner call, until it ends.
struct Leftover {
    pid_t pid;
    int errorFd;  // -1: none
};

struct Leftovers {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    std::vector<Leftover> children;
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
    // The pipes are the parent's to read; the child only forgets them.
    leftovers().children.clear();
    pthread_mutex_unlock(&leftovers().lock);
}

// A child that was left running (a collector whose timer never fired) ends
// with the process, with whatever it started in its group.
void killLeftovers() {
    Leftovers& list = leftovers();
    pthread_mutex_lock(&list.lock);
    for (const Leftover& child : list.children) kill(-child.pid, SIGKILL);
    pthread_mutex_unlock(&list.lock);
}

struct ForkHook {
    ForkHook() {
        pthread_atfork(lockBeforeFork, unlockInParent, resetInChild);
        std::atexit(killLeftovers);
    }
};
const ForkHook forkHook;

void remember(pid_t pid, int errorFd) {
    Leftovers& list = leftovers();
    pthread_mutex_lock(&list.lock);
    list.children.push_back(Leftover{pid, errorFd});
    pthread_mutex_unlock(&list.lock);
}

void reapLeftovers() {
    Leftovers& list = leftovers();
    pthread_mutex_lock(&list.lock);
    for (size_t i = 0; i < list.children.size();) {
        Leftover& child = list.children[i];
        if (child.errorFd >= 0) {
            OutputLines lines;
            if (!forwardAvailable(child.errorFd, lines)) {
                close(child.errorFd);
                child.errorFd = -1;
            }
        }
        pid_t done = waitpid(child.pid, nullptr, WNOHANG);
        if (done == child.pid || (done < 0 && errno == ECHILD)) {
            if (child.errorFd >= 0) close(child.errorFd);
            child = list.children.back();
            list.children.pop_back();
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

// Whether the command is plain words only: plain characters, single-quoted
// text (anything but a quote inside) and the quote written as \'.
bool isPlainWords(std::string_view command) {
    bool quoted = false;
    for (size_t i = 0; i < command.size(); ++i) {
        const char c = command[i];
        if (c == '\'') {
            quoted = !quoted;
        } else if (!quoted && c == '\\') {
            if (i + 1 == command.size() || command[++i] != '\'') return false;
        } else if (!quoted && !isPlainCharacter(c)) {
            return false;
        }
    }
    return !quoted;
}

// A command that is one program with plain arguments can be run with "exec",
// so the pid the caller gets (and kills) is the program's. Builtins and
// keywords ("cd", "exit", "if") are not on the PATH and are left to the shell;
// so is a program whose own name is quoted.
bool canExec(std::string_view command, const std::string& path) {
    if (!isPlainWords(command)) return false;
    size_t start = command.find_first_not_of(" \t");
    if (start == std::string_view::npos) return false;
    size_t end = command.find_first_of(" \t", start);
    std::string word(command.substr(start, end == std::string_view::npos ? end : end - start));
    return word.find_first_of("='\\") == std::string::npos && isOnPath(word, path);
}

// ---- Spawning ------------------------------------------------------------------

struct SpawnOptions {
    int stdoutFd = -1;      // -1: /dev/null
    int stderrFd = -1;      // -1: /dev/null
    bool ownGroup = false;  // a group of its own, away from the caller's terminal
};

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void execShell(char* const* argv, char* const* envp, const SpawnOptions& options,
                            pid_t parent) {
    // Ends with the thread that started it, even when that thread's
    // process is killed outright; a parent gone already is caught below.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    if (options.ownGroup) setpgid(0, 0);
    // Close-on-exec: only the copies made below reach the command.
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    dup2(null, STDIN_FILENO);
    dup2(options.stdoutFd >= 0 ? options.stdoutFd : null, STDOUT_FILENO);
    dup2(options.stderrFd >= 0 ? options.stderrFd : null, STDERR_FILENO);
    // A caller that ignores SIGPIPE or SIGCHLD, or blocks signals on its
    // threads, must not pass that on to the commands it runs.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &defaults, nullptr);
    sigaction(SIGCHLD, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve("/bin/sh", argv, envp);
    _exit(127);
}

pid_t spawnShell(const std::string& command, const std::string& path, const SpawnOptions& options) {
    Environment environment(path);
    std::string shell = "sh", dashC = "-c", line = command;
    char* argv[] = {shell.data(), dashC.data(), line.data(), nullptr};
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) execShell(argv, environment.get(), options, parent);
    // Also from the parent, so that a kill of the group right after the
    // return cannot miss a child that has not set it yet.
    if (pid > 0 && options.ownGroup) setpgid(pid, pid);
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// Forwards a command's error output while its standard output, which
// it may have released on purpose, is read to its end.
void drain(int outFd, int& errorFd) {
    OutputLines out, errors;
    bool outOpen = true;
    while (outOpen) {
        pollfd fds[2] = {{outFd, POLLIN, 0}, {errorFd, POLLIN, 0}};
        const nfds_t count = errorFd >= 0 ? 2 : 1;
        if (poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) outOpen = forwardAvailable(outFd, out);
        if (count == 2 && fds[1].revents != 0 && !forwardAvailable(errorFd, errors)) {
            close(errorFd);
            errorFd = -1;
        }
    }
}

// Forwards what a child that has ended (or was reaped) still left in the
// pipe; a grandchild that holds the pipe open is not waited for.
void drainEnded(int fd) {
    OutputLines lines;
    while (readable(fd, 0) && forwardAvailable(fd, lines)) {
    }
}

// Whether the child has ended, leaving it to be reaped.
bool hasEnded(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

bool makePipe(int (&fds)[2]) {
    // Close-on-exec: a command started by another thread at the same time
    // must not hold this pipe's write end, or the reader never sees its end.
    // Non-blocking reads: output is forwarded as it comes.
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    return true;
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
    int fds[2];
    if (!makePipe(fds)) return -1;
    pid_t pid = spawnShell(command, childPath(), SpawnOptions{fds[1], fds[1], false});
    close(fds[1]);
    // Read until the output ends or the command has: a program it put in
    // the background may hold the pipe for ever.
    OutputLines lines;
    bool open = pid > 0;
    while (open) {
        if (readable(fds[0], 20)) {
            open = forwardAvailable(fds[0], lines);
        } else if (hasEnded(pid)) {
            break;
        }
    }
    int status = pid < 0 ? -1 : waitFor(pid);
    drainEnded(fds[0]);
    close(fds[0]);
    // The command may have been a "kill" of a child left running.
    reapLeftovers();
    return status;
}

XKT_CsHandle* XKT_csopen(const char* command, const char* mode, int32_t* reserved, int32_t* pid) {
    (void)reserved;
    if (command == nullptr || mode == nullptr || std::strcmp(mode, "r") != 0) return nullptr;
    reapLeftovers();
    auto* handle = new (std::nothrow) XKT_CsHandle{-1, -1, -1};
    int out[2];
    int errors[2];
    if (handle == nullptr || !makePipe(out)) {
        delete handle;
        return nullptr;
    }
    if (!makePipe(errors)) {
        close(out[0]);
        close(out[1]);
        delete handle;
        return nullptr;
    }
    std::string path = childPath();
    std::string line = canExec(command, path) ? std::string("exec ") + command : command;
    handle->pid = spawnShell(line, path, SpawnOptions{out[1], errors[1], true});
    close(out[1]);
    close(errors[1]);
    if (handle->pid < 0) {
        close(out[0]);
        close(errors[0]);
        delete handle;
        return nullptr;
    }
    handle->fd = out[0];
    handle->errorFd = errors[0];
    if (pid != nullptr) *pid = handle->pid;
    return handle;
}

int32_t XKT_csclose(XKT_CsHandle* handle, int32_t flags) {
    (void)flags;
    if (handle == nullptr) return -1;
    drain(handle->fd, handle->errorFd);
    close(handle->fd);
    if (handle->errorFd < 0) {
        if (!reapWithin(handle->pid, kExitGraceMs)) remember(handle->pid, -1);
    } else if (reapWithin(handle->pid, kExitGraceMs)) {
        drainEnded(handle->errorFd);
        close(handle->errorFd);
    } else {
        remember(handle->pid, handle->errorFd);
    }
    delete handle;
    reapLeftovers();
    return 0;
}

}  // extern "C"
