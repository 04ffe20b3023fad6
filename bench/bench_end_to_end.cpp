// End to end: N writer processes -> Android log -> the managing process's
// log thread -> the local file. Reports records per second reaching the
// file, the entries the log buffer lost and the log thread's CPU time per
// record, beside the anchors measured in the same run: spdlog's synchronous
// file logger flushing every line (1 and 2 threads) and one write(2) of a
// 200-byte line.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <new>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "bench_common.h"
#include "log_buffer.h"
#include "xkt_log.h"
#include "xkt_osal.h"

namespace {

using Clock = std::chrono::steady_clock;

// Shared with the forked processes.
struct Shared {
    std::atomic<uint64_t> delivered;   // records that reached channel 2's output
    std::atomic<uint64_t> logThreadNs; // log thread CPU time when the manager stopped
    std::atomic<uint64_t> lost;
    std::atomic<uint64_t> wakeUps;     // times a writer woke the sleeping reader
};

Shared* g_shared = nullptr;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Channel 2's output, counted: the file write plus one relaxed increment.
// Channel 6 without a formatter: called once for every item the log thread
// hands to the channels, beside the local file channel as initialisation
// registered it.
int32_t countingOutput(const char* /*text*/) {
    g_shared->delivered.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

std::string makeRoot(const char* tag) {
    std::string pattern = std::string("/tmp/xkt-e2e-") + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) std::abort();
    return buffer.data();
}

void removeRoot(const std::string& root) {
    std::string command = "rm -rf '" + root + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", root.c_str());
}

struct RunResult {
    double recordsPerSecond = 0;
    uint64_t lost = 0;
    double logThreadNsPerRecord = 0;
    uint64_t delivered = 0;
    uint64_t wakeUps = 0;
};

// One run in a fresh root: a manager process and `writers` writer processes.
RunResult runLibrary(int writers, long perWriter, const char* androidVersion) {
    std::string root = makeRoot(androidVersion);
    setenv("XKT_ROOT", root.c_str(), 1);
    setenv("XKT_MAC", "00:11:22:aa:bb:cc", 1);
    setenv("XKT_ANDROID_VERSION", androidVersion, 1);
    setenv("XKT_LOG_BUFFER_SIZE", "67108864", 1);
    g_shared->delivered = 0;
    g_shared->lost = 0;
    g_shared->logThreadNs = 0;
    g_shared->wakeUps = 0;
    const uint64_t total = static_cast<uint64_t>(writers) * static_cast<uint64_t>(perWriter);

    int ready[2], stop[2];
    if (pipe(ready) != 0 || pipe(stop) != 0) std::abort();
    pid_t manager = fork();
    if (manager == 0) {
        if (XKT_logInit(0, XKT_LOG_LEVEL_ALL, XKT_LOG_TYPE_ALL, "ALL", nullptr) != 0) _exit(1);
        XKT_logRegCallback(6, nullptr, countingOutput);
        if (write(ready[1], "r", 1) != 1) _exit(1);
        char c;
        if (read(stop[0], &c, 1) != 1) _exit(1);
        g_shared->logThreadNs = xkt::bench::threadCpuNs("log_thread");
        xkt::host::LogBuffer* main = xkt::host::LogBuffer::get(xkt::host::LogId::Main);
        g_shared->lost = main != nullptr ? main->stats().lost : 0;
        g_shared->wakeUps = xkt::host::logWakeStats().sequence;
        _exit(0);
    }
    char c;
    if (read(ready[0], &c, 1) != 1) std::abort();

    int go[2];
    if (pipe(go) != 0) std::abort();
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            char g;
            if (read(go[0], &g, 1) != 1) _exit(1);
            for (long i = 0; i < perWriter; ++i) xkt::bench::writeBenchRecord(w, i);
            _exit(0);
        }
        children.push_back(pid);
    }
    close(go[0]);
    auto start = Clock::now();
    for (int w = 0; w < writers; ++w) {
        if (write(go[1], "g", 1) != 1) std::abort();
    }
    for (pid_t pid : children) waitpid(pid, nullptr, 0);
    // Until every record arrived, or nothing moved for a second (lost ones).
    uint64_t last = 0;
    auto lastMove = Clock::now();
    auto end = Clock::now();
    while (true) {
        uint64_t now = g_shared->delivered.load();
        if (now != last) {
            last = now;
            lastMove = end = Clock::now();
        }
        if (now >= total || Clock::now() - lastMove > std::chrono::seconds(1)) break;
        usleep(200);
    }
    if (write(stop[1], "s", 1) != 1) std::abort();
    waitpid(manager, nullptr, 0);

    RunResult result;
    result.delivered = last;
    result.recordsPerSecond = static_cast<double>(last) / seconds(end - start);
    result.lost = g_shared->lost.load();
    result.wakeUps = g_shared->wakeUps.load();
    result.logThreadNsPerRecord =
        last != 0 ? static_cast<double>(g_shared->logThreadNs.load()) / static_cast<double>(last) : 0;
    removeRoot(root);
    return result;
}

double spdlogFlushEveryLine(int threads, long perThread) {
    std::string root = makeRoot("spdlog");
    auto logger = spdlog::basic_logger_mt("anchor" + std::to_string(threads), root + "/anchor.log");
    logger->set_pattern("%v");
    logger->flush_on(spdlog::level::trace);
    auto start = Clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&logger, t, perThread] {
            for (long i = 0; i < perThread; ++i) {
                logger->info("session {} sequence {} bitrate {} kbps state {} host {} "
                             "0123456789abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz0123456789",
                             t, i, 8000u + static_cast<unsigned>(i % 100), "PLAYING", "stb.example");
            }
        });
    }
    for (auto& thread : pool) thread.join();
    double rate = static_cast<double>(threads * perThread) / seconds(Clock::now() - start);
    spdlog::drop(logger->name());
    removeRoot(root);
    return rate;
}

double writeSyscallNs() {
    std::string root = makeRoot("write");
    int fd = open((root + "/w.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::string line(199, 'x');
    line += '\n';
    constexpr int kCalls = 200000;
    auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
        if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::abort();
    }
    double ns = seconds(Clock::now() - start) * 1e9 / kCalls;
    close(fd);
    removeRoot(root);
    return ns;
}

template <typename T, typename Key>
T medianBy(std::vector<T> values, Key key) {
    std::sort(values.begin(), values.end(),
              [&key](const T& a, const T& b) { return key(a) < key(b); });
    return values[values.size() / 2];
}

double median(std::vector<double> values) {
    return medianBy(std::move(values), [](double v) { return v; });
}

// One round: the anchors and the library, back to back, so that each
// round's ratios compare numbers taken under the same conditions.
struct Round {
    double writeNs, spdlog1, spdlog2;
    RunResult one, two;
};

}  // namespace

int main(int argc, char** argv) {
    const long perWriter = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 200000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    void* shared = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return 1;
    g_shared = new (shared) Shared{};

    std::vector<Round> all;
    for (int r = 0; r < rounds; ++r) {
        Round round;
        round.writeNs = writeSyscallNs();
        round.spdlog1 = spdlogFlushEveryLine(1, perWriter);
        round.spdlog2 = spdlogFlushEveryLine(2, perWriter);
        round.one = runLibrary(1, perWriter, "4");
        round.two = runLibrary(2, perWriter, "4");
        all.push_back(round);
    }
    const RunResult device = runLibrary(1, 3000, "2");

    auto medianOf = [&all](auto metric) {
        std::vector<double> values;
        for (const Round& round : all) values.push_back(metric(round));
        return median(values);
    };
    std::printf("medians of %d rounds; the ratios are each round's, then their median\n", rounds);
    std::printf("anchor  write(2) of a 200-byte line:            %8.0f ns\n",
                medianOf([](const Round& r) { return r.writeNs; }));
    std::printf("anchor  spdlog file, flush every line, 1 thread: %8.0f records/s\n",
                medianOf([](const Round& r) { return r.spdlog1; }));
    std::printf("anchor  spdlog file, flush every line, 2 threads:%8.0f records/s\n",
                medianOf([](const Round& r) { return r.spdlog2; }));
    auto report = [](const char* what, const RunResult& r) {
        std::printf("xktlog  %-40s %8.0f records/s, %llu lost, log thread %.0f ns/record, "
                    "%llu delivered, %llu wake-ups\n",
                    what, r.recordsPerSecond, static_cast<unsigned long long>(r.lost),
                    r.logThreadNsPerRecord, static_cast<unsigned long long>(r.delivered),
                    static_cast<unsigned long long>(r.wakeUps));
    };
    auto byRate = [](const RunResult& r) { return r.recordsPerSecond; };
    std::vector<RunResult> ones, twos;
    for (const Round& round : all) {
        ones.push_back(round.one);
        twos.push_back(round.two);
    }
    report("1 writer process, logcat reader:", medianBy(ones, byRate));
    report("2 writer processes, logcat reader:", medianBy(twos, byRate));
    report("1 writer process, device reader:", device);
    std::printf("ratio   1 writer / spdlog 1 thread:   %.2f (target >= 1.0)\n",
                medianOf([](const Round& r) { return r.one.recordsPerSecond / r.spdlog1; }));
    std::printf("ratio   2 writers / spdlog 2 threads: %.2f (target >= 1.5)\n",
                medianOf([](const Round& r) { return r.two.recordsPerSecond / r.spdlog2; }));
    std::printf("ratio   log thread per record / write(2): %.2f (target <= 1.5)\n",
                medianOf([](const Round& r) { return r.one.logThreadNsPerRecord / r.writeNs; }));
    return 0;
}
