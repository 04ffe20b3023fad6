// The box's toolbox top on the host's /proc: the busiest processes or threads
// over an interval, in the box's layout. Installed as libexec/xktlog/top for
// the exception log, which runs "top -m 10 -t -n 2 -s cpu" at an ANR.
#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <pwd.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "tool_cli.h"

namespace {

using xkt::tools::assign;
// The box waits 3 s; the exception log holds its lock while "-n 2" samples
// twice, so the stand-in waits 1 s.
constexpr long kDefaultDelayMs = 1000;
constexpr long kMaxDelayMs = 3600L * 1000;
constexpr size_t kStatLimit = 4096;
constexpr size_t kCmdlineLimit = 4096;

enum class SortKey { Cpu, Vss, Rss, Threads };

struct Options {
    size_t maxEntries = SIZE_MAX;
    long iterations = -1;  // until killed, as on the box
    long delayMs = kDefaultDelayMs;
    SortKey sort = SortKey::Cpu;
    bool threads = false;
};

using Ticks = unsigned long long;

struct CpuTimes {
    Ticks user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;

    // Steal counts too: a thread's share is of the CPU time that passed.
    Ticks total() const { return user + nice + system + idle + iowait + irq + softirq + steal; }
};

struct Entry {
    int pid = 0;
    int tid = 0;
    char state = '?';
    long priority = 0;
    Ticks ticks = 0;  // utime + stime
    Ticks startTime = 0;
    unsigned long long vssK = 0;
    unsigned long long rssK = 0;
    long threads = 0;
    bool background = false;
    uid_t uid = 0;
    std::string threadName;
    std::string procName;
    Ticks delta = 0;
};

struct Snapshot {
    CpuTimes cpu;
    std::vector<Entry> entries;
};

constexpr xkt::tools::Tool kTool{
    "top",
    "usage: top [-m MAX] [-n ITERATIONS] [-d SECONDS] [-s KEY] [-t] [-h]\n"
    "The box's top on this machine's /proc: the busiest processes or threads.\n"
    "  -m MAX         show at most MAX entries per iteration (default: all)\n"
    "  -n ITERATIONS  print ITERATIONS times, then exit (default: until killed)\n"
    "  -d SECONDS     interval of each sample, decimals allowed (default: 1;\n"
    "                 the first output comes after one interval)\n"
    "  -s KEY         sort by cpu (default), vss, rss or thr, largest first\n"
    "  -t             one line per thread instead of per process\n"
    "  -h, --help     this text\n"};

bool allDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

template <typename T>
bool parseNumber(std::string_view text, T& out) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

std::optional<long> parseCount(std::string_view text) {
    long value = 0;
    if (!allDigits(text) || !parseNumber(text, value) || value < 1) return std::nullopt;
    return value;
}

// Seconds with up to millisecond precision; the box takes whole seconds only,
// tests want shorter intervals.
std::optional<long> parseDelayMs(std::string_view text) {
    size_t dot = text.find('.');
    std::string_view whole = text.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
    if ((whole.empty() && fraction.empty()) || !allDigits(whole) || !allDigits(fraction)) {
        return std::nullopt;
    }
    if (whole.size() > 4) return std::nullopt;
    long ms = 0;
    if (!whole.empty() && !parseNumber(whole, ms)) return std::nullopt;
    ms *= 1000;
    constexpr std::array<long, 3> kScale = {100, 10, 1};
    for (size_t i = 0; i < kScale.size() && i < fraction.size(); ++i) ms += (fraction[i] - '0') * kScale[i];
    if (ms > kMaxDelayMs) return std::nullopt;
    return ms;
}

std::optional<SortKey> parseSortKey(std::string_view text) {
    if (text == "cpu") return SortKey::Cpu;
    if (text == "vss") return SortKey::Vss;
    if (text == "rss") return SortKey::Rss;
    if (text == "thr") return SortKey::Threads;
    return std::nullopt;
}

// Fills options; a status to exit with when the tool must not go on.
std::optional<int> parseOptions(int argc, char** argv, Options& options) {
    int option;
    while ((option = getopt_long(argc, argv, ":m:n:d:s:th", xkt::tools::kHelpOnly, nullptr)) != -1) {
        bool ok = true;
        switch (option) {
        case 'm': ok = assign(parseCount(optarg), options.maxEntries); break;
        case 'n': ok = assign(parseCount(optarg), options.iterations); break;
        case 'd': ok = assign(parseDelayMs(optarg), options.delayMs); break;
        case 's': ok = assign(parseSortKey(optarg), options.sort); break;
        case 't': options.threads = true; break;
        case 'h': return kTool.help();
        default: return kTool.optionError(option, argv);
        }
        if (!ok) return kTool.badValue(option, optarg);
    }
    if (optind < argc) return kTool.fail("unexpected argument '%s'", argv[optind]);
    return std::nullopt;
}

// /proc files report a size of 0, so read until end of file, up to a bound.
std::optional<std::string> readSmallFile(const std::string& path, size_t limit) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text(limit, '\0');
    size_t used = 0;
    ssize_t n = 0;
    while (used < limit && (n = read(fd, &text[used], limit - used)) > 0) used += static_cast<size_t>(n);
    close(fd);
    if (n < 0) return std::nullopt;
    text.resize(used);
    return text;
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// The numeric entries of a /proc folder: pids or tids.
std::vector<int> numericEntries(const std::string& path) {
    std::vector<int> ids;
    std::unique_ptr<DIR, DirCloser> dir(opendir(path.c_str()));
    if (!dir) return ids;
    while (const dirent* entry = readdir(dir.get())) {
        int id = 0;
        if (parseNumber(std::string_view(entry->d_name), id) && id > 0) ids.push_back(id);
    }
    return ids;
}

std::optional<CpuTimes> readCpuTimes() {
    auto text = readSmallFile("/proc/stat", kStatLimit);
    if (!text || text->compare(0, 4, "cpu ") != 0) return std::nullopt;
    CpuTimes cpu;
    std::array<Ticks*, 8> fields = {&cpu.user, &cpu.nice,  &cpu.system,  &cpu.idle,
                                    &cpu.iowait, &cpu.irq, &cpu.softirq, &cpu.steal};
    std::string_view line(*text);
    line = line.substr(4, line.find('\n') - 4);
    // Older kernels have fewer columns; the missing ones stay 0.
    for (Ticks* field : fields) {
        line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
        size_t end = std::min(line.find(' '), line.size());
        if (end == 0 || !parseNumber(line.substr(0, end), *field)) break;
        line.remove_prefix(end);
    }
    return cpu;
}

// Field numbers of man 5 proc; the first one after the comm is 3.
enum StatField : size_t {
    kState = 3, kUtime = 14, kStime = 15, kPriority = 18, kNumThreads = 20,
    kStartTime = 22, kVsize = 23, kRss = 24, kPolicy = 41, kLastField = kPolicy
};

// comm may hold spaces and ')' itself: only the fields after the last ')'
// can be split reliably.
bool parseStat(std::string_view text, Entry& entry) {
    size_t open = text.find('(');
    size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return false;
    entry.threadName = std::string(text.substr(open + 1, close - open - 1));
    std::array<std::string_view, kLastField - kState + 1> fields{};
    std::string_view rest = text.substr(close + 1);
    size_t count = 0;
    while (count < fields.size()) {
        rest.remove_prefix(std::min(rest.find_first_not_of(" \n"), rest.size()));
        if (rest.empty()) break;
        size_t end = std::min(rest.find_first_of(" \n"), rest.size());
        fields[count++] = rest.substr(0, end);
        rest.remove_prefix(end);
    }
    auto at = [&fields](StatField field) { return fields[field - kState]; };
    if (count <= kRss - kState || at(kState).empty()) return false;
    Ticks utime = 0, stime = 0;
    unsigned long long vsize = 0;
    long rssPages = 0;
    if (!parseNumber(at(kUtime), utime) || !parseNumber(at(kStime), stime) ||
        !parseNumber(at(kPriority), entry.priority) || !parseNumber(at(kNumThreads), entry.threads) ||
        !parseNumber(at(kStartTime), entry.startTime) || !parseNumber(at(kVsize), vsize) ||
        !parseNumber(at(kRss), rssPages)) {
        return false;
    }
    unsigned policy = 0;
    if (count > kPolicy - kState) parseNumber(at(kPolicy), policy);
    static const long pageK = sysconf(_SC_PAGESIZE) / 1024;
    entry.state = at(kState)[0];
    entry.ticks = utime + stime;
    entry.vssK = vsize / 1024;
    entry.rssK = static_cast<unsigned long long>(std::max(rssPages, 0L)) * static_cast<unsigned long long>(pageK);
    entry.background = policy == 3 || policy == 5;  // SCHED_BATCH, SCHED_IDLE
    return true;
}

bool isEmulator(const char* path) {
    char real[PATH_MAX];
    if (realpath(path, real) == nullptr) return false;
    const char* slash = std::strrchr(real, '/');
    return std::strncmp(slash != nullptr ? slash + 1 : real, "qemu-", 5) == 0;
}

// The command line's first word, or the comm of a kernel thread, which has
// none. A program for another CPU run here under user-mode emulation (qemu,
// started directly or through binfmt_misc) has the emulator as its first
// word and its own path as the second: that path is what the box would show.
std::string processName(const std::string& dir, const std::string& comm) {
    auto cmdline = readSmallFile(dir + "/cmdline", kCmdlineLimit);
    if (!cmdline || cmdline->empty() || (*cmdline)[0] == '\0') return comm;
    const char* first = cmdline->c_str();
    const size_t second = std::strlen(first) + 1;
    if (second < cmdline->size() && (*cmdline)[second] == '/' && isEmulator(first)) {
        return std::string(cmdline->c_str() + second);
    }
    return std::string(first);
}

std::string userName(uid_t uid) {
    static std::unordered_map<uid_t, std::string> names;
    auto found = names.find(uid);
    if (found != names.end()) return found->second;
    const passwd* entry = getpwuid(uid);
    std::string name = entry != nullptr ? entry->pw_name : std::to_string(uid);
    names.emplace(uid, name);
    return name;
}

// A process that exits while it is read is skipped, whole or in part.
void readProcess(int pid, bool threads, std::vector<Entry>& out) {
    const std::string dir = "/proc/" + std::to_string(pid);
    struct stat info {};
    auto text = readSmallFile(dir + "/stat", kStatLimit);
    Entry process;
    if (!text || stat(dir.c_str(), &info) != 0 || !parseStat(*text, process)) return;
    process.pid = process.tid = pid;
    process.uid = info.st_uid;
    process.procName = processName(dir, process.threadName);
    if (!threads) {
        out.push_back(std::move(process));
        return;
    }
    for (int tid : numericEntries(dir + "/task")) {
        Entry thread;
        auto threadText = readSmallFile(dir + "/task/" + std::to_string(tid) + "/stat", kStatLimit);
        if (!threadText || !parseStat(*threadText, thread)) continue;
        thread.pid = pid;
        thread.tid = tid;
        thread.uid = process.uid;
        thread.procName = process.procName;
        out.push_back(std::move(thread));
    }
}

Snapshot takeSnapshot(bool threads) {
    Snapshot snapshot;
    snapshot.cpu = readCpuTimes().value_or(CpuTimes{});
    for (int pid : numericEntries("/proc")) readProcess(pid, threads, snapshot.entries);
    return snapshot;
}

// A thread not in the earlier sample (or a reused id with another start time)
// was born in the interval, so all of its time is the interval's.
void chargeDeltas(const Snapshot& before, Snapshot& after) {
    std::unordered_map<int, const Entry*> earlier;
    for (const Entry& entry : before.entries) earlier.emplace(entry.tid, &entry);
    for (Entry& entry : after.entries) {
        auto found = earlier.find(entry.tid);
        bool same = found != earlier.end() && found->second->startTime == entry.startTime &&
                    found->second->ticks <= entry.ticks;
        entry.delta = same ? entry.ticks - found->second->ticks : entry.ticks;
    }
}

unsigned long long sortValue(const Entry& entry, SortKey key) {
    switch (key) {
    case SortKey::Cpu: return entry.delta;
    case SortKey::Vss: return entry.vssK;
    case SortKey::Rss: return entry.rssK;
    case SortKey::Threads: return static_cast<unsigned long long>(entry.threads);
    }
    return 0;
}

void sortEntries(std::vector<Entry>& entries, SortKey key) {
    std::sort(entries.begin(), entries.end(), [key](const Entry& a, const Entry& b) {
        unsigned long long va = sortValue(a, key), vb = sortValue(b, key);
        if (va != vb) return va > vb;
        return a.pid != b.pid ? a.pid < b.pid : a.tid < b.tid;
    });
}

Ticks percent(Ticks part, Ticks total) { return total == 0 ? 0 : part * 100 / total; }

// A counter that went backwards (idle can, around CPU hotplug) counts as 0,
// never as a wrapped huge value.
Ticks since(Ticks before, Ticks after) { return after >= before ? after - before : 0; }

CpuTimes elapsed(const CpuTimes& before, const CpuTimes& after) {
    CpuTimes d;
    d.user = since(before.user, after.user);
    d.nice = since(before.nice, after.nice);
    d.system = since(before.system, after.system);
    d.idle = since(before.idle, after.idle);
    d.iowait = since(before.iowait, after.iowait);
    d.irq = since(before.irq, after.irq);
    d.softirq = since(before.softirq, after.softirq);
    d.steal = since(before.steal, after.steal);
    return d;
}

void printSummary(const CpuTimes& d) {
    const Ticks total = d.total();
    std::printf("\nUser %llu%%, System %llu%%, IOW %llu%%, IRQ %llu%%\n", percent(d.user + d.nice, total),
                percent(d.system, total), percent(d.iowait, total), percent(d.irq + d.softirq, total));
    std::printf("User %llu + Nice %llu + Sys %llu + Idle %llu + IOW %llu + IRQ %llu + SIRQ %llu = %llu\n\n",
                d.user, d.nice, d.system, d.idle, d.iowait, d.irq, d.softirq, total);
}

void printEntry(const Entry& entry, Ticks total, bool threads) {
    const char* policy = entry.background ? "bg" : "fg";
    const std::string user = userName(entry.uid);
    if (threads) {
        std::printf("%5d %5d %2ld %3llu%% %c %6lluK %6lluK %3s %-8.8s %-15s %s\n", entry.pid, entry.tid,
                    entry.priority, percent(entry.delta, total), entry.state, entry.vssK, entry.rssK, policy,
                    user.c_str(), entry.threadName.c_str(), entry.procName.c_str());
    } else {
        std::printf("%5d %2ld %3llu%% %c %5ld %6lluK %6lluK %3s %-8.8s %s\n", entry.pid, entry.priority,
                    percent(entry.delta, total), entry.state, entry.threads, entry.vssK, entry.rssK, policy,
                    user.c_str(), entry.procName.c_str());
    }
}

void printIteration(const CpuTimes& before, const Snapshot& now, const Options& options) {
    const CpuTimes interval = elapsed(before, now.cpu);
    printSummary(interval);
    const Ticks total = interval.total();
    std::puts(options.threads ? "  PID   TID PR CPU% S     VSS     RSS PCY UID      Thread          Proc"
                              : "  PID PR CPU% S  #THR     VSS     RSS PCY UID      Name");
    const size_t shown = std::min(options.maxEntries, now.entries.size());
    for (size_t i = 0; i < shown; ++i) printEntry(now.entries[i], total, options.threads);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (auto status = parseOptions(argc, argv, options)) return *status;
    // As on the box, the first output already covers one interval.
    Snapshot previous = takeSnapshot(options.threads);
    for (long i = 0; options.iterations < 0 || i < options.iterations; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.delayMs));
        Snapshot current = takeSnapshot(options.threads);
        chargeDeltas(previous, current);
        sortEntries(current.entries, options.sort);
        printIteration(previous.cpu, current, options);
        previous = std::move(current);
    }
    return 0;
}
