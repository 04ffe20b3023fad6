#include "tool_cli.h"

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include "root_path.h"

namespace xkt::tools {

const option kHelpOnly[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};

namespace {

void complain(const char* name, const char* format, va_list args) {
    std::fprintf(stderr, "%s: ", name);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}

}  // namespace

int Tool::help() const {
    std::fputs(usage_, stdout);
    std::printf("Box root: %s\n", xkt::host::describeRoot().c_str());
    return 0;
}

int Tool::fail(const char* format, ...) const {
    va_list args;
    va_start(args, format);
    complain(name_, format, args);
    va_end(args);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", name_);
    return kUsageStatus;
}

int Tool::badValue(int option, const char* value) const {
    return fail("bad value '%s' for -%c", value, option);
}

int Tool::error(const char* format, ...) const {
    va_list args;
    va_start(args, format);
    complain(name_, format, args);
    va_end(args);
    return 1;
}

int Tool::optionError(int option, char** argv) const {
    if (option == ':') {
        return optopt != 0 ? fail("option -%c needs a value", optopt)
                           : fail("option %s needs a value", argv[optind - 1]);
    }
    return optopt != 0 ? fail("unknown option -%c", optopt)
                       : fail("unknown option %s", argv[optind - 1]);
}

int Tool::helpOnly(int argc, char** argv) const {
    const int option = getopt_long(argc, argv, "+:h", kHelpOnly, nullptr);
    if (option == -1) return -1;
    return option == 'h' ? help() : optionError(option, argv);
}

std::optional<long> parseNumber(std::string_view text, long min, long max) {
    long value = 0;
    const char* end = text.data() + text.size();
    auto [stop, problem] = std::from_chars(text.data(), end, value);
    if (text.empty() || problem != std::errc() || stop != end || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<size_t> parseName(std::string_view text, const std::string_view* names,
                                size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (text.size() == names[i].size() &&
            strncasecmp(text.data(), names[i].data(), text.size()) == 0) {
            return i;
        }
    }
    auto number = parseNumber(text, 0, static_cast<long>(count) - 1);
    if (!number) return std::nullopt;
    return static_cast<size_t>(*number);
}

}  // namespace xkt::tools
