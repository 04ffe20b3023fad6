// Overload: N writer threads (in N/4 processes) write flat out for a few
// seconds while the managing process's log thread reads. Reports what the
// log thread delivered per second, what it lost and what writers dropped,
// its share of a core, and its delivered rate against its fair share of
// the machine times its own per-record rate with one writer.
//
//   xkt_overload_bench [SECONDS [N...]]      (default: 3 seconds, N = 1 4 8 32)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_common.h"
#include "log_buffer.h"
#include "xkt_log.h"
#include "xkt_osal.h"

namespace {

using Clock = std::chrono::steady_clock;

// What the manager measured at start [0] and at stop [1].
struct Sample {
    std::atomic<uint64_t> cpuNs;  // the log thread's CPU time
    std::atomic<uint64_t> written, lost, dropped;
};

struct Shared {
    std::atomic<uint64_t> delivered;
    Sample samples[2];
    std::atomic<int> stop;
};

Shared* g_shared = nullptr;

int32_t countingOutput(const char* /*text*/) {
    g_shared->delivered.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// The manager answers the parent's commands on a pipe: 'a' and 'b' take
// the log thread's CPU time and the main buffer's counts, 's' ends it. The
// parent never uses the platform: it would keep the first run's root.
pid_t startManager(int commands, int ready) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (XKT_logInit(0, XKT_LOG_LEVEL_ALL, XKT_LOG_TYPE_ALL, "ALL", nullptr) != 0) _exit(1);
    XKT_logRegCallback(6, nullptr, countingOutput);
    if (write(ready, "r", 1) != 1) _exit(1);
    for (char c; read(commands, &c, 1) == 1 && c != 's';) {
        Sample& sample = g_shared->samples[c == 'a' ? 0 : 1];
        sample.cpuNs = xkt::bench::threadCpuNs("log_thread");
        const xkt::host::LogBufferStats stats =
            xkt::host::LogBuffer::get(xkt::host::LogId::Main)->stats();
        sample.written = stats.written;
        sample.lost = stats.managingLost;
        sample.dropped = stats.dropped;
        if (write(ready, "k", 1) != 1) _exit(1);
    }
    _exit(0);
}

void ask(int commands, int ready, char c) {
    char answer;
    if (write(commands, &c, 1) != 1 || read(ready, &answer, 1) != 1) std::abort();
}

// User and system CPU time of a process, all its threads, in seconds.
double processCpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos) return 0;
    unsigned long long utime = 0, stime = 0;
    // utime and stime are the 12th and 13th fields after the command.
    if (std::sscanf(text.c_str() + paren + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                    &utime, &stime) != 2) {
        return 0;
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double writersCpuSeconds(const std::vector<pid_t>& writers) {
    double sum = 0;
    for (pid_t pid : writers) sum += processCpuSeconds(pid);
    return sum;
}

struct Result {
    double deliveredPerSecond = 0;
    double writerShare = 0;     // of one core, a writer thread's on average
    double cpuShare = 0;        // of one core, the log thread's
    double perCpuSecond = 0;    // records per second of the log thread's own CPU time
    uint64_t written = 0, lost = 0, dropped = 0;
};

Result run(int threads, double seconds) {
    char pattern[] = "/tmp/xkt-overload-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    const std::string root = pattern;
    setenv("XKT_ROOT", root.c_str(), 1);
    setenv("XKT_MAC", "00:11:22:aa:bb:cc", 1);
    g_shared->delivered = 0;
    g_shared->stop = 0;
    int commands[2], ready[2];
    if (pipe(commands) != 0 || pipe(ready) != 0) std::abort();
    const pid_t manager = startManager(commands[0], ready[1]);
    char c;
    if (read(ready[0], &c, 1) != 1) std::abort();

    const int processes = threads < 4 ? 1 : threads / 4;
    const int each = threads / processes;
    std::vector<pid_t> writers;
    for (int p = 0; p < processes; ++p) {
        pid_t pid = fork();
        if (pid == 0) {
            std::vector<std::thread> pool;
            for (int t = 0; t < each; ++t) {
                pool.emplace_back([p, t, each] {
                    for (long i = 0; g_shared->stop.load(std::memory_order_relaxed) == 0; ++i) {
                        xkt::bench::writeBenchRecord(p * each + t, i);
                    }
                });
            }
            for (auto& thread : pool) thread.join();
            _exit(0);
        }
        writers.push_back(pid);
    }
    usleep(200 * 1000);  // every writer running
    const uint64_t deliveredBefore = g_shared->delivered.load();
    const double writersBefore = writersCpuSeconds(writers);
    ask(commands[1], ready[0], 'a');
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    ask(commands[1], ready[0], 'b');
    const uint64_t deliveredAfter = g_shared->delivered.load();
    const double writersAfter = writersCpuSeconds(writers);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    g_shared->stop = 1;
    for (pid_t pid : writers) waitpid(pid, nullptr, 0);
    if (write(commands[1], "s", 1) != 1) std::abort();
    waitpid(manager, nullptr, 0);
    if (std::system(("rm -rf '" + root + "'").c_str()) != 0) {
        std::fprintf(stderr, "could not remove %s\n", root.c_str());
    }

    Result result;
    const double delivered = static_cast<double>(deliveredAfter - deliveredBefore);
    const Sample* samples = g_shared->samples;
    const double cpu = static_cast<double>(samples[1].cpuNs - samples[0].cpuNs) / 1e9;
    result.deliveredPerSecond = delivered / elapsed;
    result.cpuShare = cpu / elapsed;
    result.writerShare = (writersAfter - writersBefore) / elapsed / threads;
    result.perCpuSecond = cpu > 0 ? delivered / cpu : 0;
    result.written = samples[1].written - samples[0].written;
    result.lost = samples[1].lost - samples[0].lost;
    result.dropped = samples[1].dropped - samples[0].dropped;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    std::vector<int> counts;
    for (int i = 2; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
    if (counts.empty()) counts = {1, 4, 8, 32};
    void* shared = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return 1;
    g_shared = new (shared) Shared{};
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());

    std::printf("%7s %12s %12s %12s %8s %9s %9s %11s %11s %6s\n", "writers", "delivered/s",
                "written/s", "lost/s", "dropped", "log cpu", "writer", "per cpu-s", "floor/s", "ratio");
    double uncontended = 0;
    for (int n : counts) {
        const Result r = run(n, seconds);
        if (uncontended == 0) uncontended = r.perCpuSecond;
        // The log thread's fair share: what a writer thread got, or the
        // machine split among the n + 1 runnable threads when the machine
        // is ours alone, whichever is less.
        const double fairShare =
            std::min({1.0, static_cast<double>(cores) / (n + 1), r.writerShare});
        const double floor = fairShare * uncontended;
        std::printf("%7d %12.0f %12.0f %12.0f %8llu %9.3f %9.3f %11.0f %11.0f %6.2f\n", n,
                    r.deliveredPerSecond, static_cast<double>(r.written) / seconds,
                    static_cast<double>(r.lost) / seconds, static_cast<unsigned long long>(r.dropped),
                    r.cpuShare, r.writerShare, r.perCpuSecond, floor,
                    floor > 0 ? r.deliveredPerSecond / floor : 0);
    }
    std::printf("log cpu / writer: cores used by the log thread / by one writer thread on average;\n"
                "per cpu-s: records delivered per second of the log thread's CPU time;\n"
                "floor/s: its fair share (at most %u cores among the n + 1 threads, at most a\n"
                "writer's) times its per-cpu-s rate with the first writer count; ratio >= 1 meets it.\n",
                cores);
    return 0;
}
