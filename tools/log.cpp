// xkt-log: writes one message through the library's write path, the way
// Android's "log" command writes one entry.
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <optional>

#include "tool_cli.h"

#include "android/log.h"
#include "xkt_log.h"

namespace {

using xkt::tools::assign;
using xkt::tools::kLevelWords;
using xkt::tools::kTypeWords;
using xkt::tools::parseName;

constexpr xkt::tools::Tool kTool{
    "xkt-log",
    "usage: xkt-log [-t TYPE] [-l LEVEL] [-m MODULE] [-f FILE] [-n LINE] MESSAGE...\n"
    "       xkt-log -T TAG [-p PRIORITY] MESSAGE...\n"
    "Writes one message through the library's write path (record line, tag XKT)\n"
    "or, with -T, one plain Android log entry of another program.\n"
    "  TYPE     all, run, oper, security, user, none (or 0-5; default run)\n"
    "  LEVEL    all, debug, info, warn, error, trace, none (or 0-6; default info)\n"
    "  MODULE   module name (default \"shell\")\n"
    "  LINE     source line to record, 0 or more (default 0)\n"
    "  PRIORITY v, d, i, w, e, f (default i)\n"
    "Exit status: 0 written, 1 filtered out or not written, 2 usage.\n"};

struct Options {
    size_t type = XKT_LOG_TYPE_RUN;
    size_t level = XKT_LOG_LEVEL_INFO;
    const char* module = "shell";
    const char* file = "xkt-log";
    long line = 0;
    const char* foreignTag = nullptr;
    int priority = ANDROID_LOG_INFO;
};

std::optional<int> priorityFromLetter(std::string_view text) {
    constexpr std::string_view kLetters = "vdiwef";
    const size_t at = text.size() == 1 ? kLetters.find(static_cast<char>(text[0] | 0x20))
                                       : std::string_view::npos;
    if (at == std::string_view::npos) return std::nullopt;
    return ANDROID_LOG_VERBOSE + static_cast<int>(at);
}

// Fills options; a status to exit with when the tool must not go on.
std::optional<int> parseOptions(int argc, char** argv, Options& options) {
    int option;
    while ((option = getopt_long(argc, argv, "+:t:l:m:f:n:T:p:h", xkt::tools::kHelpOnly,
                                 nullptr)) != -1) {
        bool ok = true;
        switch (option) {
        case 't': ok = assign(parseName(optarg, kTypeWords), options.type); break;
        case 'l': ok = assign(parseName(optarg, kLevelWords), options.level); break;
        case 'm': options.module = optarg; break;
        case 'f': options.file = optarg; break;
        case 'n': ok = assign(xkt::tools::parseNumber(optarg, 0, INT32_MAX), options.line); break;
        case 'T': options.foreignTag = optarg; break;
        case 'p': ok = assign(priorityFromLetter(optarg), options.priority); break;
        case 'h': return kTool.help();
        default: return kTool.optionError(option, argv);
        }
        if (!ok) return kTool.badValue(option, optarg);
    }
    if (optind >= argc) return kTool.fail("no MESSAGE");
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (auto status = parseOptions(argc, argv, options)) return *status;
    std::string message;
    for (int i = optind; i < argc; ++i) {
        if (!message.empty()) message += ' ';
        message += argv[i];
    }
    if (options.foreignTag != nullptr) {
        return __android_log_write(options.priority, options.foreignTag, message.c_str()) > 0 ? 0 : 1;
    }
    int32_t rc = XKT_logWrite(options.file, static_cast<int32_t>(options.line), "main", 0,
                              static_cast<LogType>(options.type), static_cast<LogLevel>(options.level),
                              options.module, "%s", message.c_str());
    if (rc < 0) {
        return kTool.error("message %s",
                           rc == -1 ? "filtered out (or log management not taken over)" : "not written");
    }
    return 0;
}
