// Builds a line into a fixed buffer, field by field, with printf's padding
// rules ("%2d", "%010u", "%10s", "%08x") but without printf's cost: the
// write path formats a line per message on the caller's thread. Everything
// past the buffer's limit is cut, and cut() says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>

namespace xkt::log {

inline constexpr size_t kDecimalMax = 20;  // digits of the largest 64-bit magnitude

// Two digits per division: the log thread formats several numbers per line.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324"
    "25262728293031323334353637383940414243444546474849"
    "50515253545556575859606162636465666768697071727374"
    "75767778798081828384858687888990919293949596979899";

// The decimal digits of magnitude, written so that they end right before
// end; returns where they start.
inline char* digitsBefore(char* end, uint64_t magnitude) {
    while (magnitude >= 100) {
        const auto pair = static_cast<size_t>(magnitude % 100) * 2;
        magnitude /= 100;
        end -= 2;
        std::memcpy(end, kDigitPairs + pair, 2);
    }
    if (magnitude >= 10) {
        end -= 2;
        std::memcpy(end, kDigitPairs + magnitude * 2, 2);
    } else {
        *--end = static_cast<char>('0' + magnitude);
    }
    return end;
}

inline uint64_t magnitudeOf(int64_t value) {
    return value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

inline size_t decimalLength(uint64_t magnitude) {
    size_t length = 1;
    for (; magnitude >= 100; magnitude /= 100) length += 2;
    return magnitude >= 10 ? length + 1 : length;
}

// "%d" at out, without a bound: for text whose size is known to fit (at
// most kDecimalMax + 1 characters). Returns the end; nothing is written
// behind it.
inline char* putDecimal(char* out, int64_t value) {
    if (value < 0) *out++ = '-';
    const uint64_t magnitude = magnitudeOf(value);
    char* const end = out + decimalLength(magnitude);
    digitsBefore(end, magnitude);
    return end;
}

class TextBuilder {
public:
    // maxChars characters fit; buffer holds maxChars + 1 bytes.
    TextBuilder(char* buffer, size_t maxChars)
        : begin_(buffer), pos_(buffer), end_(buffer + maxChars) {
        *pos_ = '\0';
    }

    TextBuilder& text(std::string_view s) {
        size_t n = s.size() <= room() ? s.size() : room();
        cut_ |= n < s.size();
        std::memcpy(pos_, s.data(), n);
        pos_ += n;
        return *this;
    }
    TextBuilder& text(const char* s) { return text(std::string_view(s != nullptr ? s : "")); }
    TextBuilder& ch(char c) {
        if (pos_ < end_) {
            *pos_++ = c;
        } else {
            cut_ = true;
        }
        return *this;
    }

    // "%*s": right-aligned in width, never cut to it.
    TextBuilder& rightAligned(std::string_view s, size_t width) {
        for (size_t pad = s.size(); pad < width; ++pad) ch(' ');
        return text(s);
    }

    // "%*d" (zeroPad false) or "%0*d" (zeroPad true).
    TextBuilder& decimal(int64_t value, int width = 0, bool zeroPad = false) {
        char digits[kDecimalMax];
        const char* first = digitsBefore(std::end(digits), magnitudeOf(value));
        const auto n = static_cast<size_t>(std::end(digits) - first);
        const size_t used = n + (value < 0 ? 1 : 0);
        const size_t pad = width > 0 && static_cast<size_t>(width) > used ? width - used : 0;
        if (!zeroPad) repeat(' ', pad);
        if (value < 0) ch('-');
        if (zeroPad) repeat('0', pad);
        return text(std::string_view(first, n));
    }

    // "%0*x" with lower-case digits.
    TextBuilder& hex(uint32_t value, int width) {
        char digits[8];
        size_t n = 0;
        do {
            digits[n++] = "0123456789abcdef"[value & 0xFu];
            value >>= 4;
        } while (value != 0);
        if (width > 0 && static_cast<size_t>(width) > n) repeat('0', width - n);
        while (n > 0) ch(digits[--n]);
        return *this;
    }

    // Room left for a caller that writes in place (a bounded formatter), and
    // the step past what it wrote.
    char* cursor() const { return pos_; }
    size_t room() const { return static_cast<size_t>(end_ - pos_); }
    void advance(size_t n) { pos_ += n <= room() ? n : room(); }
    void markCut() { cut_ = true; }

    // Terminates the text; returns its length.
    size_t finish() {
        *pos_ = '\0';
        return static_cast<size_t>(pos_ - begin_);
    }
    bool cut() const { return cut_; }

private:
    void repeat(char c, size_t count) {
        size_t n = count <= room() ? count : room();
        cut_ |= n < count;
        std::memset(pos_, c, n);
        pos_ += n;
    }

    char* begin_;
    char* pos_;
    char* end_;
    bool cut_ = false;
};

}  // namespace xkt::log
