// The box's logcat on the host's log rings, in two builds of this file.
// libexec/xktlog/logcat is the box's program for the commands the library
// runs: it follows unless -d, and -f names a file to write to. bin/xkt-logcat
// is a viewer for people: it dumps unless -f (follow), filters record lines
// by module, type and level, and colours lines by level on a terminal.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <strings.h>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "android/log.h"
#include "log_buffer.h"
#include "log_model.h"
#include "logcat_reader.h"
#include "tool_cli.h"

namespace {

using xkt::tools::kLevelWords;
using xkt::tools::kTypeWords;
using namespace xkt::host;

enum class Format { Brief, ThreadTime, Raw };

#ifdef XKT_LOGCAT_BOX
constexpr bool kViewer = false;
#else
constexpr bool kViewer = true;
#endif

constexpr int kSilent = 8;           // the 'S' level: only fatal-and-above gets through
constexpr int kFollowWaitMs = 1000;  // bounds a stop signal that lands just before a wait

struct TagFilter {
    std::string tag;
    int minPriority;
};

// What record lines (tag XKT or CPE) must carry to be shown; empty lists
// and level 0 let everything through.
struct RecordFilter {
    std::vector<std::string> modules;
    std::vector<size_t> types;
    size_t minLevel = 0;

    bool active() const { return !modules.empty() || !types.empty() || minLevel > 0; }
};

enum class Colour { Auto, Always, Never };

struct Options {
    bool follow = !kViewer;
    bool clear = false;
    bool sizes = false;
    std::string file;
    std::vector<LogId> ids;
    Format format = Format::Brief;
    int defaultMinPriority = 2;
    std::vector<TagFilter> filters;
    RecordFilter records;
    Colour colour = Colour::Auto;
};

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

constexpr const char* kFilterHelp =
    "  -m MODULES    only record lines of these modules (comma-separated)\n"
    "  -t TYPES      only record lines of these types: run, oper, security, user\n"
    "  -l LEVEL      only record lines of this level or above: debug, info, warn,\n"
    "                error, trace (or 0-6); -m, -t and -l hide other programs' lines\n"
    "  --color[=WHEN]  colour lines by level: auto (on a terminal; default),\n"
    "                always or never\n"
    "  -h, --help    this text\n"
    "A filter TAG:P shows TAG from priority P on (V D I W E F S); *:P sets\n"
    "the level of all other tags.\n";

// The options both programs share, after each one's own.
constexpr const char* kCommonOptions =
    "  -c            clear the selected buffers and exit\n"
    "  -g            show size, use, entries and lost entries of the buffers\n"
    "  -b BUFFER     main, radio, events, system or all; repeatable\n"
    "                (default: main and system)\n"
    "  -v FORMAT     brief (default), threadtime or raw\n"
    "  -s            silence every tag not named in a filter\n";

constexpr const char* kViewerUsage =
    "usage: xkt-logcat [options] [TAG:PRIORITY ...]\n"
    "Shows the box's Android log: the entries present, or with -f new ones too.\n"
    "  -f            follow: keep showing new lines until interrupted\n"
    "  -d            dump the log and exit (what happens without -f)\n";

constexpr const char* kBoxUsage =
    "usage: logcat [options] [TAG:PRIORITY ...]\n"
    "The box's logcat: shows the Android log and keeps following it.\n"
    "  -d            dump the log and exit\n"
    "  -f FILE       append to FILE instead of standard output\n";

std::string usageText() {
    return std::string(kViewer ? kViewerUsage : kBoxUsage) + kCommonOptions + kFilterHelp;
}

const std::string kUsageText = usageText();
const xkt::tools::Tool kTool{kViewer ? "xkt-logcat" : "logcat", kUsageText.c_str()};

int priorityFromLetter(char letter) {
    constexpr std::string_view kLetters = "VDIWEFS";
    size_t index = kLetters.find(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
    return index == std::string_view::npos ? -1 : static_cast<int>(index) + 2;
}

// The next comma-separated word of list, which it leaves behind the comma.
std::string_view nextWord(std::string_view& list) {
    const size_t comma = list.find(',');
    const std::string_view word = list.substr(0, comma);
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
    return word;
}

bool addBuffers(std::string_view list, std::vector<LogId>& ids) {
    while (!list.empty()) {
        const std::string_view name = nextWord(list);
        if (name == "all") {
            for (size_t i = 0; i < kLogIdCount; ++i) ids.push_back(static_cast<LogId>(i));
            continue;
        }
        auto id = logIdFromName(name);
        if (!id) return false;
        ids.push_back(*id);
    }
    return true;
}

bool addFilter(std::string_view text, Options& options) {
    size_t colon = text.rfind(':');
    std::string_view tag = text.substr(0, colon);
    int priority = 2;
    if (colon != std::string_view::npos) {
        if (text.size() != colon + 2) return false;
        priority = priorityFromLetter(text[colon + 1]);
        if (priority < 0) return false;
    }
    if (tag.empty()) return false;
    if (tag == "*") {
        options.defaultMinPriority = priority;
    } else {
        options.filters.push_back({std::string(tag), priority});
    }
    return true;
}

bool addModules(std::string_view list, RecordFilter& filter) {
    while (!list.empty()) {
        const std::string_view module = nextWord(list);
        if (module.empty()) return false;
        filter.modules.emplace_back(module);
    }
    return !filter.modules.empty();
}

bool addTypes(std::string_view list, RecordFilter& filter) {
    while (!list.empty()) {
        auto type = xkt::tools::parseName(nextWord(list), kTypeWords);
        if (!type) return false;
        filter.types.push_back(*type);
    }
    return !filter.types.empty();
}

std::optional<Format> formatFromName(std::string_view name) {
    if (name == "brief") return Format::Brief;
    if (name == "threadtime") return Format::ThreadTime;
    if (name == "raw") return Format::Raw;
    return std::nullopt;
}

std::optional<Colour> colourFromName(const char* name) {
    const std::string_view when = name != nullptr ? name : "always";
    if (when == "auto") return Colour::Auto;
    if (when == "always") return Colour::Always;
    if (when == "never") return Colour::Never;
    return std::nullopt;
}

constexpr int kColourOption = 256;
const option kLongOptions[] = {{"help", no_argument, nullptr, 'h'},
                               {"color", optional_argument, nullptr, kColourOption},
                               {nullptr, 0, nullptr, 0}};

// One option and its value; false when the value is not one it takes.
bool applyOption(int option, const char* value, Options& options) {
    switch (option) {
    case 'c': options.clear = true; return true;
    case 'd': options.follow = false; return true;
    case 'g': options.sizes = true; return true;
    case 's': options.defaultMinPriority = kSilent; return true;
    case 'f':
        if (kViewer) {
            options.follow = true;
        } else {
            options.file = value;
        }
        return true;
    case 'b': return addBuffers(value, options.ids);
    case 'm': return addModules(value, options.records);
    case 't': return addTypes(value, options.records);
    case 'l': {
        auto level = xkt::tools::parseName(value, kLevelWords);
        if (level) options.records.minLevel = *level;
        return level.has_value();
    }
    case 'v': {
        auto format = formatFromName(value);
        if (format) options.format = *format;
        return format.has_value();
    }
    case kColourOption: {
        auto colour = colourFromName(value);
        if (colour) options.colour = *colour;
        return colour.has_value();
    }
    default: return false;
    }
}

// Fills options; a status to exit with when the tool must not go on.
std::optional<int> parseOptions(int argc, char** argv, Options& options) {
    const char* shortOptions = kViewer ? ":cdgsfhb:v:m:t:l:" : ":cdgshf:b:v:m:t:l:";
    int option;
    while ((option = getopt_long(argc, argv, shortOptions, kLongOptions, nullptr)) != -1) {
        if (option == 'h') return kTool.help();
        if (option == ':' || option == '?') return kTool.optionError(option, argv);
        if (applyOption(option, optarg, options)) continue;
        if (option == kColourOption) return kTool.fail("bad value '%s' for --color", optarg);
        return kTool.badValue(option, optarg);
    }
    for (int i = optind; i < argc; ++i) {
        if (!addFilter(argv[i], options)) return kTool.fail("bad filter '%s'", argv[i]);
    }
    if (options.ids.empty()) options.ids = {LogId::Main, LogId::System};
    return std::nullopt;
}

struct RecordFields {
    size_t type = 0;
    size_t level = 0;
    std::string_view module;
};

std::optional<size_t> indexIn(std::string_view field, const std::string_view* names, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (names[i] == field) return i;
    }
    return std::nullopt;
}

// The type, level and module of a record line: the writers' layouts carry
// them after the time and the ticks, the agent's after its time text.
// Anything else (or a cut line) is no record.
std::optional<RecordFields> recordFields(std::string_view line) {
    constexpr size_t kFieldsRead = 5;
    std::string_view fields[kFieldsRead];
    for (std::string_view& field : fields) {
        const size_t bar = line.find('|');
        if (bar == std::string_view::npos) break;
        field = line.substr(0, bar);
        line.remove_prefix(bar + 1);
    }
    const auto& types = xkt::log::kTypeNames;
    const auto& levels = xkt::log::kLevelNames;
    for (size_t start : {size_t{2}, size_t{1}}) {
        auto type = indexIn(fields[start], types.data(), types.size());
        auto level = indexIn(fields[start + 1], levels.data(), levels.size());
        if (!type || !level) continue;
        std::string_view module = fields[start + 2];
        module.remove_prefix(std::min(module.find_first_not_of(' '), module.size()));
        return RecordFields{*type, *level, module};
    }
    return std::nullopt;
}

bool sameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

template <typename List, typename Value, typename Same>
bool allowedBy(const List& list, const Value& value, Same same) {
    if (list.empty()) return true;
    for (const auto& allowed : list) {
        if (same(allowed, value)) return true;
    }
    return false;
}

bool passesRecordFilter(const RecordFilter& filter, const LogEntryView& entry) {
    if (!filter.active()) return true;
    if (entry.tag != "XKT" && entry.tag != "CPE") return false;
    const auto fields = recordFields(entry.message);
    return fields && fields->level >= filter.minLevel &&
           allowedBy(filter.types, fields->type, std::equal_to<size_t>()) &&
           allowedBy(filter.modules, fields->module,
                     [](const std::string& a, std::string_view b) { return sameWord(a, b); });
}

bool passes(const Options& options, const LogEntryView& entry) {
    if (!passesRecordFilter(options.records, entry)) return false;
    for (const TagFilter& filter : options.filters) {
        if (filter.tag == entry.tag) return entry.priority >= filter.minPriority;
    }
    return entry.priority >= options.defaultMinPriority;
}

// Android's logcat colours: record lines carry their level as priority.
std::string_view colourOf(int priority) {
    switch (priority) {
    case ANDROID_LOG_DEBUG: return "\033[34m";
    case ANDROID_LOG_INFO: return "\033[32m";
    case ANDROID_LOG_WARN: return "\033[33m";
    case ANDROID_LOG_ERROR: return "\033[31m";
    case ANDROID_LOG_FATAL: return "\033[1;31m";
    default: return {};
    }
}
constexpr std::string_view kColourEnd = "\033[0m";

bool wantsColour(Colour colour, FILE* out) {
    if (colour != Colour::Auto) return colour == Colour::Always;
    const char* term = std::getenv("TERM");
    return isatty(fileno(out)) == 1 && std::getenv("NO_COLOR") == nullptr &&
           (term == nullptr || std::strcmp(term, "dumb") != 0);
}

// The line prefix of the format, as Android's logcat writes it.
std::string prefixOf(Format format, const LogEntryView& entry) {
    char prefix[kMaxPayload + 64];
    const int tagLength = static_cast<int>(entry.tag.size());
    const char letter = priorityLetter(entry.priority);
    if (format == Format::Raw) return {};
    if (format == Format::Brief) {
        std::snprintf(prefix, sizeof prefix, "%c/%-8.*s(%5d): ", letter, tagLength,
                      entry.tag.data(), static_cast<int>(entry.header.pid));
        return prefix;
    }
    time_t seconds = entry.header.seconds;
    struct tm local {};
    localtime_r(&seconds, &local);
    char when[32];
    std::strftime(when, sizeof when, "%m-%d %H:%M:%S", &local);
    std::snprintf(prefix, sizeof prefix, "%s.%03d %5d %5d %c %-8.*s: ", when,
                  static_cast<int>(entry.header.nanoseconds / 1000000),
                  static_cast<int>(entry.header.pid), static_cast<int>(entry.header.tid), letter,
                  tagLength, entry.tag.data());
    return prefix;
}

bool printEntry(FILE* out, Format format, bool colour, const LogEntryView& entry) {
    const std::string prefix = prefixOf(format, entry);
    const std::string_view start = colour ? colourOf(entry.priority) : std::string_view();
    const std::string_view end = start.empty() ? std::string_view() : kColourEnd;
    std::string line;
    forEachMessageLine(entry.message, [&](std::string_view text) {
        line.assign(start).append(prefix).append(text).append(end).push_back('\n');
        std::fwrite(line.data(), 1, line.size(), out);
    });
    return std::ferror(out) == 0;
}

// One buffer's line of -g, in the layout of Android's logcat.
void printBufferStats(FILE* out, LogId id, const LogBufferStats& stats) {
    const auto count = [](uint64_t value) { return static_cast<unsigned long long>(value); };
    std::fprintf(out,
                 "%s: ring buffer is %llu bytes (%llu bytes consumed), %llu entries, "
                 "%llu entries lost, max entry is %zub, max payload is %zub\n",
                 std::string(logIdName(id)).c_str(), count(stats.capacity), count(stats.used),
                 count(stats.entries), count(stats.lost), kMaxEntrySize, kMaxPayload);
    // Each reader sees every entry, so losses are per reader, never summed.
    std::fprintf(out, "  %llu written, %llu dropped by writers, %llu lost by the log thread\n",
                 count(stats.written), count(stats.dropped), count(stats.managingLost));
    for (const LogReaderStats& reader : stats.readers) {
        std::fprintf(out, "  reader %d (%s): %llu lost\n", static_cast<int>(reader.pid),
                     reader.name.c_str(), count(reader.lost));
    }
}

int printSizes(const Options& options) {
    for (LogId id : options.ids) {
        LogBuffer* buffer = LogBuffer::get(id);
        if (buffer == nullptr) return kTool.error("cannot map the %s buffer", std::string(logIdName(id)).c_str());
        printBufferStats(stdout, id, buffer->stats());
    }
    return 0;
}

int clearBuffers(const Options& options) {
    for (LogId id : options.ids) {
        LogBuffer* buffer = LogBuffer::get(id);
        if (buffer == nullptr) return 1;
        buffer->clear();
    }
    return 0;
}

// Opens the output file. Standard output then goes to /dev/null: whoever
// started us reads a closed stdout as "this command keeps running".
FILE* openOutputFile(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    FILE* out = fd >= 0 ? fdopen(fd, "a") : nullptr;
    if (out == nullptr) {
        kTool.error("%s: %s", path.c_str(), std::strerror(errno));
        if (fd >= 0) close(fd);
        return nullptr;
    }
    std::fflush(stdout);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    return out;
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the wait must return to see the flag
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a closed reader shows as a write error
}

int readLog(const Options& options) {
    FILE* out = stdout;
    if (!options.file.empty() && (out = openOutputFile(options.file)) == nullptr) {
        return 1;
    }
    const bool colour = wantsColour(options.colour, out);
    installSignalHandlers();
    LogMerger merger(options.ids);
    if (!merger.ok()) {
        return kTool.error("cannot map the log buffers");
    }
    if (!options.follow) merger.stopAtCurrentEnd();
    LogEntryView entry;
    while (stopRequested == 0) {
        while (stopRequested == 0 && merger.next(entry)) {
            if (passes(options, entry) && !printEntry(out, options.format, colour, entry)) return 1;
        }
        if (std::fflush(out) != 0) return 1;
        if (!options.follow) break;
        merger.wait(kFollowWaitMs);
    }
    return out == stdout || std::fclose(out) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (auto status = parseOptions(argc, argv, options)) return *status;
    if (options.clear) return clearBuffers(options);
    if (options.sizes) return printSizes(options);
    return readLog(options);
}
