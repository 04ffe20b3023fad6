#include "process_ids.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <pthread.h>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>

namespace xkt::host {

namespace {

std::atomic<uint32_t> forkGeneration{1};
std::atomic<int32_t> cachedPid{0};
std::atomic<uint64_t> cachedToken{0};

void afterForkInChild() {
    cachedPid.store(0, std::memory_order_relaxed);
    cachedToken.store(0, std::memory_order_relaxed);
    forkGeneration.fetch_add(1, std::memory_order_relaxed);
}

struct ForkHook {
    ForkHook() { pthread_atfork(nullptr, nullptr, afterForkInChild); }
};
const ForkHook forkHook;

struct TidCache {
    uint32_t generation = 0;
    int32_t tid = 0;
};
// Initial-exec: read on every log write; the platform library is linked, not loaded late.
__attribute__((tls_model("initial-exec"))) thread_local TidCache tidCache;

struct ProcessStat {
    char state = '?';
    uint64_t startTime = 0;
};

// /proc/PID/stat: the state is the first field after the command's closing
// parenthesis (the command may hold blanks and parentheses itself), the
// start time the twentieth.
bool parseStat(std::string_view line, ProcessStat& stat) {
    size_t paren = line.rfind(')');
    if (paren == std::string_view::npos || paren + 2 >= line.size()) return false;
    line.remove_prefix(paren + 2);
    stat.state = line[0];
    for (int field = 0; field < 19; ++field) {
        size_t blank = line.find(' ');
        if (blank == std::string_view::npos) return false;
        line.remove_prefix(blank + 1);
    }
    uint64_t value = 0;
    size_t digits = 0;
    for (; digits < line.size() && line[digits] >= '0' && line[digits] <= '9'; ++digits) {
        value = value * 10 + static_cast<uint64_t>(line[digits] - '0');
    }
    stat.startTime = value;
    return digits > 0;
}

// 0 when read, else the errno of the failed open. The file is opened
// relative to /proc, even the process's own: an emulator (qemu-user) fakes
// "/proc/self/stat" and "/proc/<own pid>/stat" with a start time of its own
// making, which would never match what other processes read of the owner.
int readStat(uint32_t pid, ProcessStat& stat) {
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return errno != 0 ? errno : ENOENT;
    char path[24];
    std::snprintf(path, sizeof path, "%u/stat", pid != 0 ? pid : static_cast<uint32_t>(currentPid()));
    const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
    const int openError = errno;
    close(proc);
    if (fd < 0) return openError != 0 ? openError : ENOENT;
    char line[1024];
    ssize_t n;
    while ((n = read(fd, line, sizeof line - 1)) < 0 && errno == EINTR) {
    }
    close(fd);
    if (n <= 0) return EINVAL;
    return parseStat(std::string_view(line, static_cast<size_t>(n)), stat) ? 0 : EINVAL;
}

// The high half of a token: never 0 for a real owner, all ones when the
// owner's start time could not be read.
constexpr uint32_t kUnknownStart = UINT32_MAX;

constexpr uint64_t makeToken(uint32_t pid, uint32_t start) {
    return (static_cast<uint64_t>(start) << 32) | pid;
}

constexpr uint32_t startHalf(uint64_t startTime) {
    return static_cast<uint32_t>(startTime % 0x7fffffffu) + 1u;
}

}  // namespace

int32_t currentPid() {
    int32_t pid = cachedPid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<int32_t>(getpid());
        cachedPid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

int32_t currentTid() {
    uint32_t generation = forkGeneration.load(std::memory_order_relaxed);
    if (tidCache.generation != generation) {
        tidCache.tid = static_cast<int32_t>(syscall(SYS_gettid));
        tidCache.generation = generation;
    }
    return tidCache.tid;
}

uint64_t currentOwnerToken() {
    uint64_t token = cachedToken.load(std::memory_order_relaxed);
    if (token == 0) {
        ProcessStat stat;
        // Without /proc the start time is unknown: such an owner is then
        // told apart by its pid alone, as kill() would.
        const uint32_t start = readStat(0, stat) == 0 ? startHalf(stat.startTime) : kUnknownStart;
        token = makeToken(static_cast<uint32_t>(currentPid()), start);
        cachedToken.store(token, std::memory_order_relaxed);
    }
    return token;
}

bool processStartTime(uint32_t pid, uint64_t& startTime) {
    ProcessStat stat;
    if (readStat(pid, stat) != 0) return false;
    startTime = stat.startTime;
    return true;
}

bool ownerIsAlive(uint64_t token) {
    const auto pid = static_cast<uint32_t>(token);
    const auto start = static_cast<uint32_t>(token >> 32);
    if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX) || start == 0) return false;
    if (start == kUnknownStart) {
        return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
    }
    ProcessStat stat;
    const int failure = readStat(pid, stat);
    if (failure == ENOENT || failure == ESRCH) return false;
    if (failure != 0) {
        // /proc hides it (hidepid): fall back to the pid alone.
        return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
    }
    if (stat.state == 'Z' || stat.state == 'X') return false;  // dead, not yet reaped
    return startHalf(stat.startTime) == start;
}

}  // namespace xkt::host
