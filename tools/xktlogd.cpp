// xktlogd: the managing process as a daemon. It initialises the library,
// which makes it the box's managing process (log directory, filters,
// channels 0 and 2, log thread, takeover property) unless another process
// got there first, and then waits for SIGINT or SIGTERM. When the box's
// parameter file switches the diagnostic stores on, SIGUSR2 takes an ANR
// snapshot and SIGUSR1 runs both flash exports at once instead of at the
// next timer period.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <pthread.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "xkt_log.h"
#include "xkt_osal.h"

namespace {

constexpr int kStatusInitFailed = 1;
constexpr int kStatusUsage = 2;
constexpr int kStatusNotManager = 3;

constexpr const char* kUsage =
    "usage: xktlogd [options]\n"
    "Initialises the logging library as the box's managing process and runs\n"
    "until SIGINT or SIGTERM. The box root is XKT_ROOT (default /).\n"
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
    "                            (channel 3; UDP, or TLS with --https-syslog 1)\n"
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
    "SIGUSR1 runs the flash exports of both stores now.\n"
    "Exit status: 0 stopped by a signal, 1 initialisation failed, 2 usage,\n"
    "3 not the managing process (with --require-manager).\n"
    "The takeover property is never cleared: after a managing process ends, a\n"
    "new one can only take over once xkt.log.mgmttakeover is reset (a box does\n"
    "that by rebooting; here: xkt-setprop xkt.log.mgmttakeover 0).\n";

constexpr std::string_view kTypeWords[] = {"all", "run", "oper", "security", "user", "none"};
constexpr std::string_view kLevelWords[] = {"all",   "debug", "info", "warn",
                                            "error", "trace", "none"};

bool parseNumber(const char* text, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && errno == 0 && value >= INT32_MIN && value <= INT32_MAX;
}

// A word of the list or a plain number; -1 when it is neither.
template <size_t N>
long parseWord(const char* text, const std::string_view (&words)[N]) {
    for (size_t i = 0; i < N; ++i) {
        if (strcasecmp(text, std::string(words[i]).c_str()) == 0) return static_cast<long>(i);
    }
    long value = 0;
    return parseNumber(text, value) && value >= 0 ? value : -1;
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
    const char* syslogServer = nullptr;
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

enum LongOnly { kHttps = 256, kInterval, kErrorLog, kAnr, kRequire, kSyslog, kSyslogKey, kSyslogTag };

// 0 parsed, 1 help printed, -1 usage error.
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
        long value = 0;
        bool numeric = opt >= kHttps && opt <= kAnr;
        if (numeric && !parseNumber(optarg, value)) return -1;
        switch (opt) {
        case 'l': options.level = parseWord(optarg, kLevelWords); break;
        case 't': options.type = parseWord(optarg, kTypeWords); break;
        case 'm': options.modules = optarg; break;
        case kHttps: options.httpsSyslog = static_cast<int32_t>(value); break;
        case kInterval: options.intervalSeconds = static_cast<int32_t>(value); break;
        case kErrorLog: options.errorLogToFlash = static_cast<int32_t>(value); break;
        case kAnr: options.anrToFlash = static_cast<int32_t>(value); break;
        case kRequire: options.requireManager = true; break;
        case kSyslog: options.syslogServer = optarg; break;
        case kSyslogTag: options.syslogTag = optarg; break;
        case kSyslogKey:
            if (!parseKey(optarg, options.syslogKey)) return -1;
            options.haveKey = true;
            break;
        case 'h': return 1;
        default: return -1;
        }
    }
    return options.level < 0 || options.type < 0 || optind != argc ? -1 : 0;
}

std::string boxRoot() {
    const char* root = std::getenv("XKT_ROOT");
    return root != nullptr && *root != '\0' ? root : "/";
}

// Whether some process has already taken over log management.
bool alreadyManaged() {
    char value[8] = {};
    return XKT_property_get("xkt.log.mgmttakeover", value, sizeof value) == 0 &&
           std::strcmp(value, "1") == 0;
}

// What a host does to reach a collector: channel 3 with the library's
// syslog formatter and output, the server as the management agent sets it.
void startSyslog(const Options& options) {
    if (options.haveKey) {
        XKT_logRegSTBMonitorCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput, options.syslogKey);
    } else {
        XKT_logRegCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput);
    }
    XKT_setCPESysLogParam(options.syslogTag, nullptr, options.syslogServer);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int parsed = parseOptions(argc, argv, options);
    if (parsed != 0) {
        std::fputs(kUsage, parsed > 0 ? stdout : stderr);
        return parsed > 0 ? 0 : kStatusUsage;
    }

    // A fresh box root lacks the /tmp every box has, and the local log
    // directory goes there.
    std::string root = boxRoot();
    if (root != "/") mkdir((root + "/tmp").c_str(), 0755);

    // Blocked before the library starts its threads, so they inherit the
    // mask and sigwait below is the only taker.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1);
    sigaddset(&stopSignals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // Two daemons starting at the same moment can both pass this test and
    // the library's own guard: the property is the only coordination
    // between processes, and the box starts one daemon.
    bool managed = alreadyManaged();
    if (managed && options.requireManager) {
        std::fprintf(stderr, "xktlogd: log management already taken over (root %s)\n",
                     root.c_str());
        return kStatusNotManager;
    }
    LogParam param{&options.httpsSyslog, &options.intervalSeconds, &options.errorLogToFlash,
                   &options.anrToFlash};
    if (XKT_logInit(0, static_cast<LogLevel>(options.level), static_cast<LogType>(options.type),
                    options.modules, &param) != 0) {
        std::fprintf(stderr, "xktlogd: initialisation failed (root %s; is the MAC address "
                             "readable? XKT_MAC overrides it)\n", root.c_str());
        return kStatusInitFailed;
    }
    if (options.syslogServer != nullptr) startSyslog(options);
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
        } else {
            break;
        }
    }
    // The library never stops its log thread, so static destructors must
    // not run under it: leave without them.
    std::fflush(nullptr);
    std::_Exit(0);
}
