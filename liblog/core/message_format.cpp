// Every accepted message is formatted on the caller's thread, and the C
// library's printf costs more than all the rest of a write. Most formats
// are plain text with "%s" and integers ("%d", "%lu", "%x"): those are
// written here, with exactly printf's bytes. Anything else (flags, widths,
// precisions, floating point, characters, pointers) goes to vsnprintf_s.
#include "message_format.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "text_builder.h"
#include "xkt_securec.h"

namespace xkt::log {

namespace {

constexpr size_t kNotSimple = SIZE_MAX;

enum class Length { Int, Long, LongLong, Size };

// The length modifier at p, if any; p moves past it.
Length takeLength(const char*& p) {
    if (*p == 'z') {
        ++p;
        return Length::Size;
    }
    if (*p != 'l') return Length::Int;
    ++p;
    if (*p != 'l') return Length::Long;
    ++p;
    return Length::LongLong;
}

// The next argument as the conversion reads it, widened without changing
// its value (signed) or its bits (unsigned). The list goes by pointer: a
// va_list parameter is an array on some machines and a struct on others.
int64_t signedArgument(Length length, va_list* args) {
    switch (length) {
        case Length::Long: return va_arg(*args, long);
        case Length::LongLong: return va_arg(*args, long long);
        case Length::Size: return static_cast<int64_t>(static_cast<ptrdiff_t>(va_arg(*args, size_t)));
        case Length::Int: break;
    }
    return va_arg(*args, int);
}

uint64_t unsignedArgument(Length length, va_list* args) {
    switch (length) {
        case Length::Long: return va_arg(*args, unsigned long);
        case Length::LongLong: return va_arg(*args, unsigned long long);
        case Length::Size: return va_arg(*args, size_t);
        case Length::Int: break;
    }
    return va_arg(*args, unsigned int);
}

// "%x": lower-case digits, no prefix, "0" for zero.
char* putHex(char* out, uint64_t value) {
    char digits[16];
    char* first = std::end(digits);
    do {
        *--first = "0123456789abcdef"[value & 0xFu];
        value >>= 4;
    } while (value != 0);
    const auto count = static_cast<size_t>(std::end(digits) - first);
    std::memcpy(out, first, count);
    return out + count;
}

class MessageWriter {
public:
    MessageWriter(char* out, size_t max) : out_(out), max_(max) {}

    void append(const char* text, size_t length) {
        const size_t kept = std::min(length, max_ - used_);
        std::memcpy(out_ + used_, text, kept);
        used_ += kept;
    }
    void appendText(const char* text) { append(text, strnlen(text, max_ - used_)); }
    size_t finish() {
        out_[used_] = '\0';
        return used_;
    }

private:
    char* out_;
    size_t max_;
    size_t used_ = 0;
};

// One conversion at p (behind the '%'); false when it is not one of
// ours. p moves past it.
bool convert(MessageWriter& out, const char*& p, va_list* args) {
    if (*p == '%') {
        ++p;
        out.append("%", 1);
        return true;
    }
    if (*p == 's') {
        ++p;
        const char* text = va_arg(*args, const char*);
        if (text == nullptr) return false;  // its printing is the C library's business
        out.appendText(text);
        return true;
    }
    const Length length = takeLength(p);
    char number[kDecimalMax + 2];
    char* end = number;
    switch (*p++) {
        case 'd':
        case 'i': end = putDecimal(number, signedArgument(length, args)); break;
        case 'u': {
            const uint64_t value = unsignedArgument(length, args);
            end = number + decimalLength(value);
            digitsBefore(end, value);
            break;
        }
        case 'x': end = putHex(number, unsignedArgument(length, args)); break;
        default: return false;
    }
    out.append(number, static_cast<size_t>(end - number));
    return true;
}

// The simple formats, or kNotSimple with out unspecified.
size_t formatSimple(char* out, size_t max, const char* format, va_list* args) {
    MessageWriter writer(out, max);
    for (const char* p = format;;) {
        const char* percent = std::strchr(p, '%');
        if (percent == nullptr) {
            if (*p != '\0') writer.appendText(p);
            return writer.finish();
        }
        writer.append(p, static_cast<size_t>(percent - p));
        p = percent + 1;
        if (!convert(writer, p, args)) return kNotSimple;
    }
}

}  // namespace

size_t formatMessage(char* out, size_t max, const char* format, va_list args) {
    va_list simple;
    va_copy(simple, args);
    const size_t length = formatSimple(out, max, format, &simple);
    va_end(simple);
    if (length != kNotSimple) return length;
    vsnprintf_s(out, max + 1, max, format, args);
    return std::strlen(out);
}

}  // namespace xkt::log
