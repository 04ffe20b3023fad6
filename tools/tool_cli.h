// What every command-line tool does the same way: --help with the root in
// use, one wording for bad options and values, and number and name parsing
// that refuses what it does not fully understand.
#pragma once

#include <getopt.h>

#include <cstddef>
#include <optional>
#include <string_view>

namespace xkt::tools {

inline constexpr int kUsageStatus = 2;

class Tool {
public:
    // usage: the tool's text from its "usage:" line on, ending in a line feed.
    constexpr Tool(const char* name, const char* usage) : name_(name), usage_(usage) {}

    const char* name() const { return name_; }

    // The usage text and the box root in use on stdout; returns 0.
    int help() const;
    // "NAME: problem" and a pointer to --help on stderr; returns kUsageStatus.
    int fail(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    // fail() for a value an option cannot take.
    int badValue(int option, const char* value) const;
    // "NAME: problem" on stderr for a failure that is not the user's
    // wording; returns 1.
    int error(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    // The complaint for what getopt_long returned as ':' or '?' (the short
    // options must start with ':').
    int optionError(int option, char** argv) const;
    // For a tool whose only option is -h/--help: its exit status when the
    // options end the run (help shown or an option refused), else -1 with
    // optind at the first word.
    int helpOnly(int argc, char** argv) const;

private:
    const char* name_;
    const char* usage_;
};

// Log types and levels as the tools' users write them, by value.
inline constexpr std::string_view kTypeWords[] = {"all", "run", "oper", "security", "user", "none"};
inline constexpr std::string_view kLevelWords[] = {"all",   "debug", "info", "warn",
                                                   "error", "trace", "none"};

// Long options of a tool that has no others than --help.
extern const option kHelpOnly[];

// A whole decimal number in [min, max]; nothing else accepted.
std::optional<long> parseNumber(std::string_view text, long min, long max);

// The index of text among names (case-insensitive), or a number that is
// such an index.
std::optional<size_t> parseName(std::string_view text, const std::string_view* names,
                                size_t count);

template <size_t N>
std::optional<size_t> parseName(std::string_view text, const std::string_view (&names)[N]) {
    return parseName(text, names, N);
}

// Stores a value that parsed; false when it did not.
template <typename T, typename U>
bool assign(const std::optional<T>& parsed, U& into) {
    if (parsed) into = static_cast<U>(*parsed);
    return parsed.has_value();
}

}  // namespace xkt::tools
