// xkt-log: writes one message through the library's write path, the way
// Android's "log" command writes one entry.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>

#include "android/log.h"
#include "xkt_log.h"

namespace {

constexpr const char* kUsage =
    "usage: xkt-log [-t TYPE] [-l LEVEL] [-m MODULE] [-f FILE] [-n LINE] MESSAGE...\n"
    "       xkt-log -T TAG [-p PRIORITY] MESSAGE...\n"
    "Writes one message through the library's write path (record line, tag XKT)\n"
    "or, with -T, one plain Android log entry of another program.\n"
    "  TYPE     run, oper, security, user (or 0-5; default run)\n"
    "  LEVEL    debug, info, warn, error, trace (or 0-6; default info)\n"
    "  MODULE   module name (default \"shell\")\n"
    "  PRIORITY v, d, i, w, e, f (default i)\n"
    "Exit status: 0 written, 1 filtered out or not written, 2 usage.\n";

// Android's priority letters, from 2 (verbose) on.
int priorityFromLetter(const char* text) {
    const char* letters = "vdiwef";
    const char* at = text[0] != '\0' && text[1] == '\0' ? std::strchr(letters, text[0] | 0x20) : nullptr;
    return at != nullptr ? static_cast<int>(at - letters) + ANDROID_LOG_VERBOSE : -1;
}

constexpr std::string_view kTypeWords[] = {"all", "run", "oper", "security", "user", "none"};
constexpr std::string_view kLevelWords[] = {"all", "debug", "info", "warn", "error", "trace",
                                            "none"};

// A name from the list or a plain number; -1 when it is neither.
template <size_t N>
long parseWord(const char* text, const std::string_view (&words)[N]) {
    for (size_t i = 0; i < N; ++i) {
        if (strcasecmp(text, std::string(words[i]).c_str()) == 0) return static_cast<long>(i);
    }
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= 0 ? value : -1;
}

}  // namespace

int main(int argc, char** argv) {
    long type = XKT_LOG_TYPE_RUN;
    long level = XKT_LOG_LEVEL_INFO;
    const char* module = "shell";
    const char* file = "xkt-log";
    long line = 0;
    const char* foreignTag = nullptr;
    int priority = ANDROID_LOG_INFO;
    int opt;
    while ((opt = getopt(argc, argv, "t:l:m:f:n:T:p:h")) != -1) {
        switch (opt) {
        case 't': type = parseWord(optarg, kTypeWords); break;
        case 'l': level = parseWord(optarg, kLevelWords); break;
        case 'm': module = optarg; break;
        case 'f': file = optarg; break;
        case 'n': line = std::strtol(optarg, nullptr, 10); break;
        case 'T': foreignTag = optarg; break;
        case 'p': priority = priorityFromLetter(optarg); break;
        case 'h': std::fputs(kUsage, stdout); return 0;
        default: std::fputs(kUsage, stderr); return 2;
        }
    }
    if (type < 0 || level < 0 || priority < 0 || optind >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string message;
    for (int i = optind; i < argc; ++i) {
        if (!message.empty()) message += ' ';
        message += argv[i];
    }
    if (foreignTag != nullptr) {
        return __android_log_write(priority, foreignTag, message.c_str()) > 0 ? 0 : 1;
    }
    int32_t rc = XKT_logWrite(file, static_cast<int32_t>(line), "main", 0,
                              static_cast<LogType>(type), static_cast<LogLevel>(level), module,
                              "%s", message.c_str());
    if (rc < 0) {
        std::fprintf(stderr, "xkt-log: message %s\n",
                     rc == -1 ? "filtered out (or log management not taken over)" : "not written");
        return 1;
    }
    return 0;
}
