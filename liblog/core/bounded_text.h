// The one bounded copy and the one bounded format every fixed buffer of the
// library goes through. The limit is the buffer's size minus one unless the
// caller asks for less; text that does not fit is cut, never overflows.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstring>

#include "xkt_securec.h"

namespace xkt::log {

template <size_t N>
int copyText(char (&dest)[N], const char* src, size_t maxChars = N - 1) {
    return strncpy_s(dest, N, src != nullptr ? src : "", maxChars);
}

template <size_t N>
int formatText(char (&dest)[N], size_t maxChars, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

template <size_t N>
int formatText(char (&dest)[N], size_t maxChars, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int rc = vsnprintf_s(dest, N, maxChars, format, args);
    va_end(args);
    return rc;
}

}  // namespace xkt::log
