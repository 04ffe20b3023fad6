// xktlogd: the managing process as a daemon. It initialises the library,
// which makes it the box's managing process (log directory, filters,
// channels 0 and 2, log thread, takeover property) unless another process
// got there first, and then waits for SIGINT or SIGTERM. When the box's
// parameter file switches the diagnostic stores on, SIGUSR2 takes an ANR
// snapshot and SIGUSR1 runs both flash exports at once instead of at the
// next timer period. SIGHUP, and the stop, print what was lost so far: lines
// the log file could not take, the syslog queue's counts, the main buffer's.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <arpa/inet.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "log_buffer.h"
#include "log_channels.h"
#include "process_ids.h"
#include "syslog_sender.h"
#include "xkt_log.h"
#include "xkt_host_extras.h"
#include "xkt_osal.h"

namespace {

constexpr int kStatusInitFailed = 1;
constexpr int kStatusUsage = 2;
constexpr int kStatusNotManager = 3;

constexpr const char* kUsage =
    "usage: xktlogd [options]\n"
    "Initialises the logging library as the box's managing process and runs\n"
    "until SIGINT or SIGTERM.\n"
    "  -l, --level LEVEL         level filter: all, debug, info, warn, error, trace,\n"
    "                            none (or 0-6; default all)\n"
    "  -t, --type TYPE           type filter: all, run, oper, security, user, none\n"
    "                            (or 0-5; default all)\n"
    "  -m, --modules LIST        module filter: ALL or names joined by \"|\" (default ALL)\n"
    "      --https-syslog N      1: syslog over TLS (default 0)\n"
    "      --interval SECONDS    flash export period, 3600 to 86400 (otherwise 7200)\n"
    "      --error-log-to-flash N  error-log export switch (default 0)\n"
    "      --anr-to-flash N      exception-log export switch (default 1)\n"

    "      --syslog ADDRESS[:PORT]  also send every line to a syslog collector\n"
    "                            (channel 3; UDP, or TLS with --https-syslog 1);\n"
    "                            an IPv4 address or a name that resolves to one,\n"
    "                            PORT 1-65535 (default 514)\n"
    "      --syslog-key HEX      encrypt the syslog datagrams with this AES-128 key\n"
    "                            (32 hexadecimal digits, first byte not 00)\n"
    "      --syslog-tag TAG      tag prefix of the classic syslog lines\n"
    "      --require-manager     exit with status 3 when another process already\n"
    "                            manages the log; without it xktlogd says so and\n"
    "                            keeps running like any other middleware process\n"
    "  -h, --help                this text\n"
    "The error log and the exception log run when\n"
    "$XKT_ROOT/system/iptv/setting/softparam.ini holds\n"
    "\"SoftParam.UniLogOptimization.Enable 1\".\n"
    "Signals: SIGINT, SIGTERM stop; SIGUSR2 takes an ANR snapshot (tmp/DQN);\n"
    "SIGUSR1 runs the flash exports of both stores now; SIGHUP prints the loss\n"
    "counts (\"xktlogd: stats: ...\"), which the stop prints too.\n"
    "Exit status: 0 stopped by a signal, 1 initialisation failed, 2 usage,\n"
    "3 not the managing process (with --require-manager).\n"
    "The takeover property is never cleared. xktlogd records itself in\n"
    "xkt.log.manager (pid and start time); a later xktlogd that finds the\n"
    "recorded manager gone takes over and says so. A takeover by another\n"
    "program leaves no record: clear it with xkt-setprop xkt.log.mgmttakeover 0.\n"
    "Box root in use (XKT_ROOT): %s\n";

constexpr std::string_view kTypeWords[] = {"all", "run", "oper", "security", "user", "none"};
constexpr std::string_view kLevelWords[] = {"all",   "debug", "info", "warn",
                                            "error", "trace", "none"};
constexpr const char* kManagerProperty = "xkt.log.manager";
constexpr const char* kTakeoverProperty = "xkt.log.mgmttakeover";

bool parseNumber(const char* text, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && errno == 0 && value >= INT32_MIN && value <= INT32_MAX;
}

// A word of the list or one of its numbers; -1 when it is neither.
template <size_t N>
long parseWord(const char* text, const std::string_view (&words)[N]) {
    for (size_t i = 0; i < N; ++i) {
        if (strcasecmp(text, std::string(words[i]).c_str()) == 0) return static_cast<long>(i);
    }
    long value = 0;
    return parseNumber(text, value) && value >= 0 && value < static_cast<long>(N) ? value : -1;
}

struct Options {
    long level = XKT_LOG_LEVEL_ALL;
    long type = XKT_LOG_TYPE_ALL;
    const char* modules = "ALL";
    int32_t httpsSyslog = 0;
    int32_t intervalSeconds = 7200;
    int32_t errorLogToFlash = 0;
    int32_t anrToFlash = 1;
    bool requireManager = false;
    std::string syslogServer;  // dotted IPv4 address, then ":port" when given
    const char* syslogTag = nullptr;
    bool haveKey = false;
    uint8_t syslogKey[16] = {};
};

// 32 hexadecimal digits into 16 bytes.
bool parseKey(const char* text, uint8_t (&key)[16]) {
    if (std::strlen(text) != 32) return false;
    for (size_t i = 0; i < 16; ++i) {
        char pair[3] = {text[2 * i], text[2 * i + 1], '\0'};
        char* end = nullptr;
        long byte = std::strtol(pair, &end, 16);
        if (end != pair + 2 || byte < 0) return false;
        key[i] = static_cast<uint8_t>(byte);
    }
    return key[0] != 0;
}

// ADDRESS[:PORT] as the library's "a.b.c.d[:port]"; an empty result and the
// problem in error otherwise. The library reads the text after the first
// colon as the port and sends to a dotted address only, so an IPv6 address,
// a port it would wrap or a name it cannot use are refused here.
std::string syslogServer(std::string_view text, std::string& error) {
    const size_t colon = text.find(':');
    if (text.find('[') != std::string_view::npos ||
        (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos)) {
        error = "IPv6 addresses are not supported; give an IPv4 address or name";
        return {};
    }
    const std::string host(text.substr(0, colon));
    std::string port;
    if (colon != std::string_view::npos) {
        port = std::string(text.substr(colon + 1));
        long number = 0;
        if (port.find_first_not_of("0123456789") != std::string::npos ||
            !parseNumber(port.c_str(), number) || number < 1 || number > 65535) {
            error = "port '" + port + "' is not a number from 1 to 65535";
            return {};
        }
        port = ":" + std::to_string(number);
    }
    if (host.empty()) {
        error = "no address before the port";
        return {};
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        error = "'" + host + "' does not resolve to an IPv4 address (" + gai_strerror(rc) + ")";
        return {};
    }
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr, dotted,
              sizeof dotted);
    freeaddrinfo(found);
    return dotted + port;
}

enum LongOnly { kHttps = 256, kInterval, kErrorLog, kAnr, kRequire, kSyslog, kSyslogKey, kSyslogTag };

// The problem with one option's value, empty when it was taken.
std::string takeOption(int opt, const char* arg, Options& options) {
    long value = 0;
    if (opt >= kHttps && opt <= kAnr && !parseNumber(arg, value)) {
        return std::string("'") + arg + "' is not a number";
    }
    std::string error;
    switch (opt) {
    case 'l':
        options.level = parseWord(arg, kLevelWords);
        if (options.level < 0) return std::string("unknown level '") + arg + "'";
        break;
    case 't':
        options.type = parseWord(arg, kTypeWords);
        if (options.type < 0) return std::string("unknown type '") + arg + "'";
        break;
    case 'm': options.modules = arg; break;
    case kHttps: options.httpsSyslog = static_cast<int32_t>(value); break;
    case kInterval: options.intervalSeconds = static_cast<int32_t>(value); break;
    case kErrorLog: options.errorLogToFlash = static_cast<int32_t>(value); break;
    case kAnr: options.anrToFlash = static_cast<int32_t>(value); break;
    case kRequire: options.requireManager = true; break;
    case kSyslog:
        options.syslogServer = syslogServer(arg, error);
        return error.empty() ? error : "--syslog " + std::string(arg) + ": " + error;
    case kSyslogTag: options.syslogTag = arg; break;
    case kSyslogKey:
        if (!parseKey(arg, options.syslogKey)) {
            return "--syslog-key takes 32 hexadecimal digits, first byte not 00";
        }
        options.haveKey = true;
        break;
    default: return "unknown option";
    }
    return {};
}

// 0 parsed, 1 help asked for, -1 usage error (already reported).
int parseOptions(int argc, char** argv, Options& options) {
    static const option kLong[] = {
        {"level", required_argument, nullptr, 'l'},
        {"type", required_argument, nullptr, 't'},
        {"modules", required_argument, nullptr, 'm'},
        {"https-syslog", required_argument, nullptr, kHttps},
        {"interval", required_argument, nullptr, kInterval},
        {"error-log-to-flash", required_argument, nullptr, kErrorLog},
        {"anr-to-flash", required_argument, nullptr, kAnr},
        {"require-manager", no_argument, nullptr, kRequire},
        {"syslog", required_argument, nullptr, kSyslog},
        {"syslog-key", required_argument, nullptr, kSyslogKey},
        {"syslog-tag", required_argument, nullptr, kSyslogTag},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "l:t:m:h", kLong, nullptr)) != -1) {
        if (opt == 'h') return 1;
        if (opt == '?') return -1;  // getopt has said what is wrong
        const std::string error = takeOption(opt, optarg, options);
        if (!error.empty()) {
            std::fprintf(stderr, "xktlogd: %s (see xktlogd --help)\n", error.c_str());
            return -1;
        }
    }
    if (optind != argc) {
        std::fprintf(stderr, "xktlogd: unexpected argument '%s' (see xktlogd --help)\n",
                     argv[optind]);
        return -1;
    }
    return 0;
}

// The box root as the platform maps it: "/" or the folder under XKT_ROOT.
std::string boxRoot() {
    std::string root(XKT_rootLength() + 2, '\0');
    if (XKT_rootPath("/", root.data(), static_cast<uint32_t>(root.size())) != 0) return "?";
    root.resize(std::strlen(root.c_str()));
    if (root.size() > 1) root.pop_back();
    return root;
}

std::string property(const char* name) {
    char value[XKT_PROP_VALUE_MAX] = {};
    return XKT_property_get(name, value, sizeof value) == 0 ? value : "";
}

// Whether some process has already taken over log management.
bool alreadyManaged() { return property(kTakeoverProperty) == "1"; }

// A process's start time in clock ticks since boot: with the pid it names
// one process, whatever reuses the pid later. Empty when there is none.
std::string startTime(long pid) {
    uint64_t ticks = 0;
    if (!xkt::host::processStartTime(static_cast<uint32_t>(pid), ticks)) return {};
    return std::to_string(ticks);
}

// The manager xkt.log.manager names, when that process no longer runs.
// 0 when it runs or nothing is recorded.
long goneManager() {
    const std::string recorded = property(kManagerProperty);
    long pid = 0;
    char start[32] = {};
    if (std::sscanf(recorded.c_str(), "%ld %31s", &pid, start) != 2 || pid <= 0) return 0;
    return startTime(pid) == start ? 0 : pid;
}

bool recordManager() {
    const std::string self = std::to_string(getpid()) + " " + startTime(getpid());
    return XKT_property_set(kManagerProperty, self.c_str()) == 0;
}

// What a host does to reach a collector: channel 3 with the library's
// syslog formatter and output, the server as the management agent sets it.
void startSyslog(const Options& options) {
    if (options.haveKey) {
        XKT_logRegSTBMonitorCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput, options.syslogKey);
    } else {
        XKT_logRegCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput);
    }
    XKT_setCPESysLogParam(options.syslogTag, nullptr, options.syslogServer.c_str());
}

// The main buffer's part of the stats line. Apart, because the buffer is
// to report its loss per reader rather than summed over all of them.
std::string mainBufferStats() {
    xkt::host::LogBuffer* buffer = xkt::host::LogBuffer::get(xkt::host::LogId::Main);
    if (buffer == nullptr) return "buffer main: not mapped";
    const xkt::host::LogBufferStats stats = buffer->stats();
    return "buffer main: lost by the log thread " + std::to_string(stats.managingLost) +
           ", dropped by writers " + std::to_string(stats.dropped) + ", written " +
           std::to_string(stats.written) + ", " + std::to_string(stats.entries) + " entries, " +
           std::to_string(stats.used) + " bytes held";
}

// Called from the signal loop, never from a handler: the buffer's mapping
// may be made here and stdio is not async-signal-safe.
void printStats() {
    using std::to_string;
    const xkt::log::SyslogSenderCounts syslog = xkt::log::syslogSenderCounts();
    const std::string line =
        "xktlogd: stats: file lines lost " + to_string(xkt::log::logFileLinesLost()) +
        ", syslog queued/overflowed/sent " + to_string(syslog.queued) + "/" +
        to_string(syslog.overflowed) + "/" + to_string(syslog.sent) + " (abandoned " +
        to_string(syslog.abandoned) + "), " + mainBufferStats();
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const std::string root = boxRoot();
    const int parsed = parseOptions(argc, argv, options);
    if (parsed > 0) {
        std::printf(kUsage, root.c_str());
        return 0;
    }
    if (parsed < 0) return kStatusUsage;
    std::fprintf(stderr, "xktlogd: root %s\n", root.c_str());

    // A fresh box root lacks the /tmp every box has, and the local log
    // directory goes there.
    char tmp[PATH_MAX];
    if (XKT_rootPath("/tmp", tmp, sizeof tmp) == 0) mkdir(tmp, 0755);

    // Blocked before the library starts its threads, so they inherit the
    // mask and sigwait below is the only taker.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1);
    sigaddset(&stopSignals, SIGUSR2);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // Two daemons starting at the same moment can both pass this test and
    // the library's own guard: the property is the only coordination
    // between processes, and the box starts one daemon.
    bool managed = alreadyManaged();
    if (managed) {
        if (const long gone = goneManager(); gone != 0) {
            std::fprintf(stderr, "xktlogd: the managing process %ld is gone: taking over\n", gone);
            XKT_property_set(kTakeoverProperty, "0");
            managed = false;
        }
    }
    if (managed && options.requireManager) {
        std::fprintf(stderr, "xktlogd: log management already taken over (root %s)\n",
                     root.c_str());
        return kStatusNotManager;
    }
    LogParam param{&options.httpsSyslog, &options.intervalSeconds, &options.errorLogToFlash,
                   &options.anrToFlash};
    if (XKT_logInit(0, static_cast<LogLevel>(options.level), static_cast<LogType>(options.type),
                    options.modules, &param) != 0) {
        std::fprintf(stderr, "xktlogd: initialisation failed (root %s)\n", root.c_str());
        return kStatusInitFailed;
    }
    if (!managed && !recordManager()) {
        std::fprintf(stderr, "xktlogd: cannot record this process in %s; a takeover left by "
                             "it cannot be recognised as stale\n", kManagerProperty);
    }
    if (!options.syslogServer.empty()) startSyslog(options);
    int32_t generation = XKT_checkStatus();
    const bool stores = !managed && XKT_getK47FeaturesValue() == 1;
    std::fprintf(stderr, "xktlogd: root %s, pid %d, mode %s (Android generation %d), %s%s\n",
                 root.c_str(), static_cast<int>(getpid()), generation > 2 ? "logcat" : "device",
                 static_cast<int>(generation),
                 managed ? "not managing: another process already manages the log"
                         : "managing the log",
                 stores ? ", error log and exception log on" : "");

    for (;;) {
        int signal = 0;
        if (sigwait(&stopSignals, &signal) != 0) continue;
        if (signal == SIGUSR1) {
            XKT_errorlogOutputTrigger();
            XKT_explogOutputTrigger();
        } else if (signal == SIGUSR2) {
            XKT_expLogToTmp(0);
        } else if (signal == SIGHUP) {
            printStats();
        } else {
            break;
        }
    }
    printStats();
    // The library never stops its log thread, so static destructors must
    // not run under it: leave without them.
    std::fflush(nullptr);
    std::_Exit(0);
}
