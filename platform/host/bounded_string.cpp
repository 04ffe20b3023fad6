// The bounded string functions of the box's C runtime. Every one is bounded
// by destMax first: a cut is reported (-1) but the destination is always left
// terminated and never written past destMax.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "xkt_securec.h"

namespace {

// Skips a scanset body; at points just past "%[" (and any width or
// modifiers). A ']' right after '[' or '[^' belongs to the set. Returns the
// character after the closing ']', or null when the set is never closed.
const char* skipScanset(const char* at) {
    if (*at == '^') ++at;
    if (*at == ']') ++at;
    while (*at != '\0' && *at != ']') ++at;
    return *at == ']' ? at + 1 : nullptr;
}

bool isLengthModifier(char c) {
    return c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't';
}

// Checks one conversion; at points just past its '%'. Returns the position
// after the conversion, or null when it is malformed or could overflow.
const char* checkConversion(const char* at) {
    if (*at == '%') return at + 1;
    // A positional "n$" prefix leaves the rest of the conversion as usual.
    const char* digits = at;
    while (*digits >= '0' && *digits <= '9') ++digits;
    if (digits != at && *digits == '$') at = digits + 1;

    bool suppressed = false;
    if (*at == '*') {
        suppressed = true;
        ++at;
    }
    unsigned long width = 0;
    while (*at >= '0' && *at <= '9') width = std::min(width * 10 + (*at++ - '0'), 1000000ul);
    // "m" asks scanf to allocate, a contract the callers do not expect.
    if (*at == 'm') return nullptr;
    while (isLengthModifier(*at)) ++at;

    char conversion = *at;
    if (conversion == '\0') return nullptr;
    ++at;
    bool needsWidth = conversion == 's' || conversion == 'c' || conversion == '[';
    if (conversion == '[') at = skipScanset(at);
    if (at == nullptr) return nullptr;
    if (needsWidth && !suppressed && width == 0) return nullptr;
    return at;
}

bool formatIsBounded(const char* format) {
    for (const char* at = format; *at != '\0';) {
        if (*at++ != '%') continue;
        at = checkConversion(at);
        if (at == nullptr) return false;
    }
    return true;
}

}  // namespace

extern "C" {

int memset_s(void* dest, size_t destMax, int c, size_t count) {
    if (dest == nullptr || destMax == 0) return -1;
    std::memset(dest, c, std::min(count, destMax));
    return count > destMax ? -1 : 0;
}

int memcpy_s(void* dest, size_t destMax, const void* src, size_t count) {
    if (dest == nullptr || destMax == 0 || src == nullptr) return -1;
    // memmove: callers occasionally shift text within one buffer.
    std::memmove(dest, src, std::min(count, destMax));
    return count > destMax ? -1 : 0;
}

int strncpy_s(char* dest, size_t destMax, const char* src, size_t count) {
    if (dest == nullptr || destMax == 0 || src == nullptr) return -1;
    size_t limit = std::min(count, destMax - 1);
    size_t length = strnlen(src, limit);
    std::memmove(dest, src, length);
    dest[length] = '\0';
    // Cut by destMax: more source remains within count than fitted.
    bool cut = length == limit && limit < count && src[limit] != '\0';
    return cut ? -1 : 0;
}

int vsnprintf_s(char* dest, size_t destMax, size_t count, const char* format, va_list args) {
    if (dest == nullptr || destMax == 0 || format == nullptr) return -1;
    size_t limit = std::min(count, destMax - 1);
    int written = std::vsnprintf(dest, limit + 1, format, args);
    if (written < 0) {
        dest[0] = '\0';
        return -1;
    }
    return static_cast<size_t>(written) > limit ? -1 : written;
}

int snprintf_s(char* dest, size_t destMax, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = vsnprintf_s(dest, destMax, count, format, args);
    va_end(args);
    return result;
}

int sscanf_s(const char* buffer, const char* format, ...) {
    if (buffer == nullptr || format == nullptr || !formatIsBounded(format)) return -1;
    va_list args;
    va_start(args, format);
    int result = std::vsscanf(buffer, format, args);
    va_end(args);
    return result;
}

int fscanf_s(FILE* stream, const char* format, ...) {
    if (stream == nullptr || format == nullptr || !formatIsBounded(format)) return -1;
    va_list args;
    va_start(args, format);
    int result = std::vfscanf(stream, format, args);
    va_end(args);
    return result;
}

}  // extern "C"
