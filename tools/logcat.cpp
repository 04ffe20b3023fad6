// The box's logcat on the host's log rings: dumps or follows the chosen
// buffers in time order, clears them, or prints their sizes. Installed as
// libexec/xktlog/logcat for the commands the library runs, and as
// bin/xkt-logcat for people.
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "log_buffer.h"
#include "logcat_reader.h"

namespace {

using namespace xkt::host;

enum class Format { Brief, ThreadTime, Raw };

constexpr int kSilent = 8;           // the 'S' level: only fatal-and-above gets through
constexpr int kFollowWaitMs = 1000;  // bounds a stop signal that lands just before a wait
constexpr int kUsageStatus = 2;

struct TagFilter {
    std::string tag;
    int minPriority;
};

struct Options {
    bool dump = false;
    bool clear = false;
    bool sizes = false;
    bool help = false;
    std::string file;
    std::vector<LogId> ids;
    Format format = Format::Brief;
    int defaultMinPriority = 2;
    std::vector<TagFilter> filters;
};

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

void usage(FILE* out, const char* program) {
    std::fprintf(out,
                 "Usage: %s [options] [TAG:PRIORITY ...]\n"
                 "  -d            dump the log and exit\n"
                 "  -c            clear the selected buffers and exit\n"
                 "  -g            print size, use and lost entries of the selected buffers\n"
                 "  -f FILE       append to FILE instead of standard output\n"
                 "  -b BUFFER     main, radio, events, system or all; repeatable\n"
                 "                (default: main and system)\n"
                 "  -v FORMAT     brief (default), threadtime or raw\n"
                 "  -s            silence every tag not named in a filter\n"
                 "  -h            this text\n"
                 "A filter TAG:P shows TAG from priority P on (V D I W E F S); *:P sets\n"
                 "the level of all other tags.\n",
                 program);
}

int priorityFromLetter(char letter) {
    constexpr std::string_view kLetters = "VDIWEFS";
    size_t index = kLetters.find(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
    return index == std::string_view::npos ? -1 : static_cast<int>(index) + 2;
}

bool addBuffers(std::string_view list, std::vector<LogId>& ids) {
    while (!list.empty()) {
        size_t comma = list.find(',');
        std::string_view name = list.substr(0, comma);
        list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
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

bool parseOptions(int argc, char** argv, Options& options) {
    int option;
    while ((option = getopt(argc, argv, "cdgshf:b:v:")) != -1) {
        switch (option) {
        case 'c': options.clear = true; break;
        case 'd': options.dump = true; break;
        case 'g': options.sizes = true; break;
        case 's': options.defaultMinPriority = kSilent; break;
        case 'h': options.help = true; break;
        case 'f': options.file = optarg; break;
        case 'b':
            if (!addBuffers(optarg, options.ids)) {
                std::fprintf(stderr, "%s: unknown buffer '%s'\n", argv[0], optarg);
                return false;
            }
            break;
        case 'v':
            if (std::strcmp(optarg, "brief") == 0) {
                options.format = Format::Brief;
            } else if (std::strcmp(optarg, "threadtime") == 0) {
                options.format = Format::ThreadTime;
            } else if (std::strcmp(optarg, "raw") == 0) {
                options.format = Format::Raw;
            } else {
                std::fprintf(stderr, "%s: unknown format '%s'\n", argv[0], optarg);
                return false;
            }
            break;
        default: return false;
        }
    }
    for (int i = optind; i < argc; ++i) {
        if (!addFilter(argv[i], options)) {
            std::fprintf(stderr, "%s: bad filter '%s'\n", argv[0], argv[i]);
            return false;
        }
    }
    if (options.ids.empty()) options.ids = {LogId::Main, LogId::System};
    return true;
}

bool passes(const Options& options, const LogEntryView& entry) {
    for (const TagFilter& filter : options.filters) {
        if (filter.tag == entry.tag) return entry.priority >= filter.minPriority;
    }
    return entry.priority >= options.defaultMinPriority;
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

bool printEntry(FILE* out, Format format, const LogEntryView& entry) {
    const std::string prefix = prefixOf(format, entry);
    std::string line;
    forEachMessageLine(entry.message, [&](std::string_view text) {
        line.assign(prefix).append(text).push_back('\n');
        std::fwrite(line.data(), 1, line.size(), out);
    });
    return std::ferror(out) == 0;
}

int printSizes(const Options& options) {
    for (LogId id : options.ids) {
        LogBuffer* buffer = LogBuffer::get(id);
        if (buffer == nullptr) return 1;
        LogBufferStats stats = buffer->stats();
        std::printf("%s: ring buffer is %llu bytes (%llu bytes consumed), %llu entries, "
                    "%llu entries lost, max entry is %zub, max payload is %zub\n",
                    std::string(logIdName(id)).c_str(),
                    static_cast<unsigned long long>(stats.capacity),
                    static_cast<unsigned long long>(stats.used),
                    static_cast<unsigned long long>(stats.entries),
                    static_cast<unsigned long long>(stats.lost), kMaxEntrySize, kMaxPayload);
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
FILE* openOutputFile(const char* program, const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    FILE* out = fd >= 0 ? fdopen(fd, "a") : nullptr;
    if (out == nullptr) {
        std::fprintf(stderr, "%s: %s: %s\n", program, path.c_str(), std::strerror(errno));
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

int readLog(const char* program, const Options& options) {
    FILE* out = stdout;
    if (!options.file.empty() && (out = openOutputFile(program, options.file)) == nullptr) {
        return 1;
    }
    installSignalHandlers();
    LogMerger merger(options.ids);
    if (!merger.ok()) {
        std::fprintf(stderr, "%s: cannot map the log buffers\n", program);
        return 1;
    }
    if (options.dump) merger.stopAtCurrentEnd();
    LogEntryView entry;
    while (stopRequested == 0) {
        while (stopRequested == 0 && merger.next(entry)) {
            if (passes(options, entry) && !printEntry(out, options.format, entry)) return 1;
        }
        if (std::fflush(out) != 0) return 1;
        if (options.dump) break;
        merger.wait(kFollowWaitMs);
    }
    return out == stdout || std::fclose(out) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        usage(stderr, argv[0]);
        return kUsageStatus;
    }
    if (options.help) {
        usage(stdout, argv[0]);
        return 0;
    }
    if (options.clear) return clearBuffers(options);
    if (options.sizes) return printSizes(options);
    return readLog(argv[0], options);
}
