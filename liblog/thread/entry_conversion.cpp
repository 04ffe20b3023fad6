// Conversion of Android log entries into channel items: a middleware record
// line becomes a LogRecord, anything else a plain line in Android's brief
// style. Any process on the box can write any bytes into the Android log, so
// every read here is bounded by the entry buffer itself, never by what the
// entry claims about its own size. Nothing is kept between calls, except the
// log thread's last record prefix (putCachedPrefix).
#include "entry_conversion.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "errno_guard.h"
#include "log_model.h"
#include "text_builder.h"
#include "xkt_log.h"
#include "xkt_utility.h"

namespace xkt::log {

namespace {

constexpr size_t kEntrySize = XKT_LOG_ITEM_SIZE;  // device entry or logcat text buffer
constexpr size_t kHeaderSize = kDeviceHeaderSize;
constexpr size_t kPayloadMax = kEntrySize - kHeaderSize;
constexpr size_t kPlainLineMax = XKT_LOG_ITEM_SIZE - 1;
constexpr size_t kMessageMax = XKT_LOG_MESSAGE_SIZE - 1;
constexpr size_t kPrefixTagMax = 128;
constexpr size_t kTypeNameMax = 16;
constexpr size_t kModuleMax = XKT_LOG_TEXT_SIZE - 1;
constexpr int32_t kLastDeviceGeneration = 2;  // above it the logcat reader serves
constexpr size_t kRecordHeadSize = offsetof(LogRecord, message);

static_assert(sizeof(LogRecord) == XKT_LOG_ITEM_SIZE, "a record fills the item exactly");

char priorityLetter(int32_t priority) {
    constexpr std::string_view kLetters = "VDIWEFS";
    return priority >= 2 && priority <= 8 ? kLetters[static_cast<size_t>(priority - 2)] : '?';
}

// Where the Android-style prefix of an item comes from; none when tag is null.
struct PrefixSource {
    int32_t priority = 0;
    const char* tag = nullptr;
    int32_t pid = 0;
};

constexpr size_t kPidWidth = 5;
// "%c/%.128s(%5d): " at its longest: the buffers behind it never cut it.
constexpr size_t kPrefixMax = 2 + kPrefixTagMax + 1 + 11 + 3;
static_assert(kPrefixMax < kMessageMax && kPrefixMax < kPlainLineMax);

// "%*d" at out, unbounded; returns its end.
char* putPaddedDecimal(char* out, int32_t value, size_t width) {
    const uint64_t magnitude = magnitudeOf(value);
    const size_t digits = decimalLength(magnitude);
    for (size_t pad = digits + (value < 0 ? 1 : 0); pad < width; ++pad) *out++ = ' ';
    if (value < 0) *out++ = '-';
    digitsBefore(out + digits, magnitude);
    return out + digits;
}

// "%c/%.128s(%5d): " at out, unbounded (see kPrefixMax); returns its end.
char* putPrefix(char* out, const PrefixSource& source) {
    *out++ = priorityLetter(source.priority);
    *out++ = '/';
    // The tags of parsed entries are short ("XKT", "CPE"): a loop costs
    // less than measuring and copying them with two library calls.
    for (size_t i = 0; i < kPrefixTagMax && source.tag[i] != '\0'; ++i) *out++ = source.tag[i];
    *out++ = '(';
    out = putPaddedDecimal(out, source.pid, kPidWidth);
    *out++ = ')';
    *out++ = ':';
    *out++ = ' ';
    return out;
}

// The prefix of the last record this thread converted from a logcat line.
// Most records come from the process, tag and priority of the one before,
// so the prefix is copied rather than formatted again.
struct PrefixCache {
    int32_t priority = 0;
    int32_t pid = 0;
    char tag[kPrefixTagMax + 1] = {};  // as far as the prefix shows it
    size_t length = 0;                 // of text; 0 while nothing is cached
    char text[kPrefixMax];
};
__attribute__((tls_model("initial-exec"))) thread_local PrefixCache t_prefixCache;

// putPrefix through this thread's cache: the same bytes.
char* putCachedPrefix(char* out, const PrefixSource& source) {
    PrefixCache& cache = t_prefixCache;
    // Tags that agree in their first 128 characters give the same prefix.
    if (cache.length == 0 || cache.priority != source.priority || cache.pid != source.pid ||
        std::strncmp(cache.tag, source.tag, kPrefixTagMax) != 0) {
        cache.length = static_cast<size_t>(putPrefix(cache.text, source) - cache.text);
        const size_t tagLength = strnlen(source.tag, kPrefixTagMax);
        std::memcpy(cache.tag, source.tag, tagLength);
        cache.tag[tagLength] = '\0';
        cache.priority = source.priority;
        cache.pid = source.pid;
    }
    std::memcpy(out, cache.text, cache.length);
    return out + cache.length;
}

// The text behind the first 20 + offset characters of an entry, up to its
// NUL, never past the 1288-byte buffer. A logcat line may end anywhere, so
// its first characters are checked one by one before the text is taken.
bool entryText(const char* entry, bool logcatLine, int32_t offset, std::string_view& text) {
    if (offset < 0 || static_cast<size_t>(offset) >= kPayloadMax) return false;
    const size_t start = kHeaderSize + static_cast<size_t>(offset);
    if (logcatLine && strnlen(entry, start) < start) return false;
    text = std::string_view(entry + start, strnlen(entry + start, kEntrySize - 1 - start));
    return true;
}

// Reads a record line as sscanf reads it with one fixed format, conversion
// by conversion: "%d" and "%x" skip white space and take a sign, "%Nd"
// counts the sign in its width, "%x" takes a "0x" prefix, "%N[^c]" needs one
// character at least. Numbers too large saturate, as strtol and strtoul do
// with the box's 32-bit long. One forward pass; every step is inlined into
// the one scan, so that the position stays in a register throughout.
class FieldScanner {
public:
    explicit FieldScanner(std::string_view text)
        : pos_(text.data()), end_(text.data() + text.size()) {}

    [[gnu::always_inline]] bool literal(char c) {
        if (pos_ == end_ || *pos_ != c) return false;
        ++pos_;
        return true;
    }

    // "%2d" of the write path's "%2d": two digits, or a blank and one digit
    // before a character that is none. Anything else takes the general way.
    [[gnu::always_inline]] bool twoDigits(int32_t& value) {
        if (remaining() >= 3) {
            const unsigned first = static_cast<unsigned char>(pos_[0]) - unsigned{'0'};
            const unsigned second = static_cast<unsigned char>(pos_[1]) - unsigned{'0'};
            const unsigned third = static_cast<unsigned char>(pos_[2]) - unsigned{'0'};
            if (second <= 9 && (first <= 9 || (pos_[0] == ' ' && third > 9))) {
                value = static_cast<int32_t>(first <= 9 ? first * 10 + second : second);
                pos_ += 2;
                return true;
            }
        }
        return decimal(value, 2);
    }

    [[gnu::always_inline]] bool decimal(int32_t& value, size_t width = kUnbounded) {
        const bool negative = takeLead(width);
        const char* const start = pos_;
        const char* const limit = pos_ + std::min(width, remaining());
        uint64_t magnitude = 0;
        for (; pos_ != limit; ++pos_) {
            const unsigned digit = static_cast<unsigned char>(*pos_) - unsigned{'0'};
            if (digit > 9) break;
            magnitude = magnitude * 10 + digit;
            if (magnitude > kSaturated) magnitude = kSaturated;
        }
        if (pos_ == start) return false;
        auto exact = static_cast<int64_t>(magnitude);  // at most 2^32
        if (negative) exact = -exact;
        value = static_cast<int32_t>(std::clamp<int64_t>(exact, INT32_MIN, INT32_MAX));
        return true;
    }

    // "%d" whose value nobody reads.
    [[gnu::always_inline]] bool skipDecimal() {
        size_t width = kUnbounded;
        takeLead(width);
        const char* const start = pos_;
        while (pos_ != end_ && static_cast<unsigned char>(*pos_) - unsigned{'0'} <= 9) ++pos_;
        return pos_ != start;
    }

    [[gnu::always_inline]] bool hex(uint32_t& value) {
        size_t width = kUnbounded;
        const bool negative = takeLead(width);
        // A lone "0" counts as a number even when an 'x' follows it.
        const bool zero = literal('0');
        if (zero && !literal('x')) literal('X');
        const char* const start = pos_;
        uint64_t magnitude = 0;
        for (; pos_ != end_; ++pos_) {
            const unsigned digit = hexDigit(*pos_);
            if (digit > 15) break;
            magnitude = magnitude * 16 + digit;
            if (magnitude > kSaturated) magnitude = kSaturated;
        }
        if (pos_ == start && !zero) return false;
        const auto low = static_cast<uint32_t>(magnitude);
        value = magnitude > UINT32_MAX ? UINT32_MAX : negative ? 0u - low : low;
        return true;
    }

    // "%N[^stop]"
    [[gnu::always_inline]] bool until(char stop, size_t width, std::string_view& field) {
        const size_t limit = std::min(width, remaining());
        const void* hit = std::memchr(pos_, stop, limit);
        const size_t n = hit != nullptr ? static_cast<size_t>(static_cast<const char*>(hit) - pos_)
                                        : limit;
        if (n == 0) return false;
        field = std::string_view(pos_, n);
        pos_ += n;
        return true;
    }

    // Where the next conversion would start.
    const char* position() const { return pos_; }

private:
    static constexpr size_t kUnbounded = SIZE_MAX;
    static constexpr uint64_t kSaturated = uint64_t{1} << 32;  // beyond every 32-bit value

    size_t remaining() const { return static_cast<size_t>(end_ - pos_); }

    // The C locale's white space: blank, \t, \n, \v, \f, \r.
    static bool isSpace(char c) {
        return c == ' ' || static_cast<unsigned char>(c) - unsigned{'\t'} <= 4;
    }

    [[gnu::always_inline]] void skipSpace() {
        while (pos_ != end_ && isSpace(*pos_)) ++pos_;
    }

    // White space and a sign, which may stand before a number's digits; true
    // for a '-'. Most numbers start with a digit and have neither.
    [[gnu::always_inline]] bool takeLead(size_t& width) {
        if (pos_ != end_ && static_cast<unsigned char>(*pos_) - unsigned{'0'} <= 9) return false;
        skipSpace();
        return takeSign(width);
    }

    [[gnu::always_inline]] bool takeSign(size_t& width) {
        if (width == 0 || pos_ == end_ || (*pos_ != '-' && *pos_ != '+')) return false;
        --width;
        return *pos_++ == '-';
    }

    // 16 or more for a character that is no hexadecimal digit.
    static unsigned hexDigit(char c) {
        const unsigned byte = static_cast<unsigned char>(c);
        if (byte - '0' < 10u) return byte - '0';
        const unsigned lower = byte | 0x20u;  // 'A'-'F' to 'a'-'f', nothing else to a letter
        return lower - 'a' < 6u ? lower - 'a' + 10 : 16;
    }

    const char* pos_;
    const char* end_;
};

// The ten fields of "%2d:%2d:%2d|%d|%16[^|]|%16[^|]|%63[^|]|%x:%63[^:]:%d|".
// The '|' behind the line number is not required: a scan counts
// conversions, and it has all ten by then.
struct RecordHead {
    int32_t hour = 0, minute = 0, second = 0, line = 0;  // the tick count is not kept
    uint32_t threadId = 0;
    std::string_view type, level, module, file;
    size_t end = 0;  // where the scan stopped, right behind the line number
};

bool scanRecordHead(std::string_view text, RecordHead& head) {
    FieldScanner in(text);
    const bool scanned =
        in.twoDigits(head.hour) && in.literal(':') && in.twoDigits(head.minute) &&
        in.literal(':') && in.twoDigits(head.second) && in.literal('|') && in.skipDecimal() &&
        in.literal('|') && in.until('|', kTypeNameMax, head.type) && in.literal('|') &&
        in.until('|', kTypeNameMax, head.level) && in.literal('|') &&
        in.until('|', kModuleMax, head.module) && in.literal('|') && in.hex(head.threadId) &&
        in.literal(':') && in.until(':', kModuleMax, head.file) && in.literal(':') &&
        in.decimal(head.line);
    head.end = static_cast<size_t>(in.position() - text.data());
    return scanned;
}

template <size_t N>
int32_t nameIndex(const std::array<std::string_view, N>& names, std::string_view name) {
    for (size_t i = 0; i < N; ++i) {
        if (names[i] == name) return static_cast<int32_t>(i);
    }
    return -1;
}

bool typePasses(int32_t type) {
    const uint32_t filter = g_logConfig.logType.load(std::memory_order_relaxed);
    if (filter == XKT_LOG_TYPE_NONE) return false;
    return filter == XKT_LOG_TYPE_ALL || filter == static_cast<uint32_t>(type);
}

// The first '|' at or behind from; most often it stands right there.
size_t barFrom(std::string_view text, size_t from) {
    return from < text.size() && text[from] == '|' ? from : text.find('|', from);
}

// The message starts behind the first '|' that follows the file name's first
// occurrence in the line, then behind an optional "code:%d|". False when a
// needed '|' is missing.
//
// The file name holds no ':' and the scan took a ':' right before it, so an
// occurrence before the scanned one lies wholly in front of that ':': only
// that part is searched. Between the scanned file name and where the scan
// stopped stand only ':', white space, a sign and digits, as between
// "code:" and the end of its number: no '|' either way, so the search for
// the '|' starts where the scan stopped.
bool findMessage(std::string_view text, const RecordHead& head, std::string_view& rest,
                 int32_t& code) {
    const std::string_view file = head.file;
    const auto scannedAt = static_cast<size_t>(file.data() - text.data());
    const size_t earlierAt = text.substr(0, scannedAt - 1).find(file);
    const size_t bar = earlierAt == std::string_view::npos
                           ? barFrom(text, head.end)
                           : text.find('|', earlierAt + file.size());
    if (bar == std::string_view::npos) return false;
    rest = text.substr(bar + 1);

    constexpr std::string_view kCode = "code:";
    if (rest.substr(0, kCode.size()) != kCode) return true;
    FieldScanner in(rest.substr(kCode.size()));
    int32_t value = 0;
    if (!in.decimal(value)) return true;
    const size_t codeEnd = barFrom(rest, static_cast<size_t>(in.position() - rest.data()));
    if (codeEnd == std::string_view::npos) return false;
    code = value;
    rest.remove_prefix(codeEnd + 1);
    return true;
}

enum class PrefixWay { Format, Cache };

// Parses the record line text into record: its fields before the message
// cleared and filled, the message written up to its NUL, nothing behind
// that. Returns the bytes written from the record's start, 0 when the line
// is dropped; then record is untouched.
size_t buildRecord(LogRecord& record, std::string_view text, const PrefixSource& prefix,
                   PrefixWay way = PrefixWay::Format) {
    RecordHead head;
    if (!scanRecordHead(text, head)) return 0;
    const int32_t type = nameIndex(kTypeNames, head.type);
    const int32_t level = nameIndex(kLevelNames, head.level);
    if (type < 0 || level < 0 || !typePasses(type)) return 0;
    std::string_view rest;
    int32_t code = 0;
    if (!findMessage(text, head, rest, code)) return 0;

    std::memset(&record, 0, kRecordHeadSize);
    record.type = static_cast<uint32_t>(type);
    record.level = static_cast<uint32_t>(level);
    record.time.hour = head.hour;
    record.time.minute = head.minute;
    record.time.second = head.second;
    std::memcpy(record.module, head.module.data(), head.module.size());  // the scan bounds it to 63
    std::memcpy(record.file, head.file.data(), head.file.size());
    record.line = head.line;
    record.threadId = head.threadId;
    record.code = code;

    char* const message = record.message;
    char* end = message;
    if (prefix.tag != nullptr) {
        end = way == PrefixWay::Cache ? putCachedPrefix(message, prefix) : putPrefix(message, prefix);
    }
    const size_t room = kMessageMax - static_cast<size_t>(end - message);
    const size_t length = std::min(rest.size(), room);
    std::memcpy(end, rest.data(), length);
    end += length;
    *end = '\0';
    return kRecordHeadSize + static_cast<size_t>(end - message) + 1;
}

// A plain line: the prefix, when there is one, the text and a line feed, at
// most 1287 characters. Returns the bytes written, the NUL included.
size_t buildPlainLine(char* item, std::string_view text, const PrefixSource& prefix) {
    char* end = prefix.tag != nullptr ? putPrefix(item, prefix) : item;
    const size_t room = kPlainLineMax - static_cast<size_t>(end - item);
    const size_t length = std::min(text.size(), room);
    std::memcpy(end, text.data(), length);
    end += length;
    if (length < room) *end++ = '\n';
    *end = '\0';
    return static_cast<size_t>(end - item) + 1;
}

// Builds into a work record, so that a dropped line leaves item untouched
// and item needs no alignment.
int32_t parseInto(void* item, std::string_view text, const PrefixSource& prefix) {
    LogRecord record;
    const size_t written = buildRecord(record, text, prefix);
    if (written == 0) return -1;
    std::memcpy(item, &record, written);
    return 0;
}

bool middlewareTag(std::string_view tag) { return tag == "XKT" || tag == "CPE"; }

// Whether a tag starts with "XKT" or "CPE". A shorter tag differs at its NUL
// at the latest, where the comparison stops: nothing behind it is read.
bool middlewareTagStart(const char* tag) {
    return (tag[0] == 'X' && tag[1] == 'K' && tag[2] == 'T') ||
           (tag[0] == 'C' && tag[1] == 'P' && tag[2] == 'E');
}

// The logcat path compares the tag's first three characters: the reader's
// tag may run on ("XKTPlayer").
bool parsedOnLogcat(const XKT_LogcatEntry& descriptor) {
    return getAndroidVersion() > kLastDeviceGeneration && descriptor.tag != nullptr &&
           middlewareTagStart(descriptor.tag);
}

PrefixSource logcatPrefix(const XKT_LogcatEntry& descriptor) {
    return PrefixSource{descriptor.priority, descriptor.tag != nullptr ? descriptor.tag : "",
                        descriptor.pid};
}

int32_t convertDeviceEntry(void* item, const char* entry, const LogDeviceHeader& header,
                           int32_t* recordKind) {
    if (header.length < 2) return -1;
    const char* payload = entry + kHeaderSize;
    const size_t length = header.length < kPayloadMax ? header.length : kPayloadMax;
    const auto* tagEnd = static_cast<const char*>(std::memchr(payload + 1, '\0', length - 1));
    if (tagEnd == nullptr) return -1;
    const size_t messageAt = static_cast<size_t>(tagEnd - payload) + 1;
    const auto* messageEnd =
        static_cast<const char*>(std::memchr(payload + messageAt, '\0', length - messageAt));
    if (messageEnd == nullptr || messageEnd == payload + messageAt) return -1;

    const int32_t priority = static_cast<uint8_t>(payload[0]);
    const uint32_t level = g_logConfig.logLevel.load(std::memory_order_relaxed);
    if (level != 0 && int64_t{priority} < int64_t{level} + 2) return -1;
    if (getAndroidVersion() > kLastDeviceGeneration) return -1;

    const char* tag = payload + 1;
    const auto offset = static_cast<int32_t>(messageAt);
    if (middlewareTag(std::string_view(tag, static_cast<size_t>(tagEnd - tag)))) {
        return parseMiddlewareEntry(item, entry, &header, recordKind, nullptr, tag, offset,
                                    priority);
    }
    return formatRawEntry(item, entry, &header, recordKind, nullptr, priority, offset, tag);
}

int32_t convertLogcatEntry(void* item, const char* line, const XKT_LogcatEntry& descriptor,
                           int32_t* recordKind) {
    if (parsedOnLogcat(descriptor)) {
        return parseMiddlewareEntry(item, line, nullptr, recordKind, &descriptor, nullptr, 0,
                                    descriptor.priority);
    }
    return formatRawEntry(item, line, nullptr, recordKind, &descriptor, descriptor.priority, 0,
                          nullptr);
}

}  // namespace

size_t convertLogcatLine(LogRecord& item, std::string_view line,
                         const XKT_LogcatEntry& descriptor, int32_t& recordKind) {
    if (parsedOnLogcat(descriptor)) {
        recordKind = 1;
        // The record line starts at the 21st character, as in entryText.
        if (line.size() < kHeaderSize) return 0;
        line.remove_prefix(kHeaderSize);
        return buildRecord(item, line.substr(0, kEntrySize - 1 - kHeaderSize),
                           logcatPrefix(descriptor), PrefixWay::Cache);
    }
    recordKind = 0;
    if (g_logConfig.logType.load(std::memory_order_relaxed) > XKT_LOG_TYPE_RUN) return 0;
    return buildPlainLine(reinterpret_cast<char*>(&item), line, PrefixSource{});
}

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t convertLogEntry(void* item, const char* entry,
                                           const LogDeviceHeader* header, int32_t* recordKind,
                                           const struct XKT_LogcatEntry* descriptor) {
    const ErrnoGuard keepErrno;
    if (item == nullptr || entry == nullptr || recordKind == nullptr) return -1;
    if (descriptor != nullptr) return convertLogcatEntry(item, entry, *descriptor, recordKind);
    if (header != nullptr) return convertDeviceEntry(item, entry, *header, recordKind);
    return -1;
}

extern "C" XKT_API int32_t parseMiddlewareEntry(void* item, const char* entry,
                                                const LogDeviceHeader* header,
                                                int32_t* recordKind,
                                                const struct XKT_LogcatEntry* descriptor,
                                                const char* tag, int32_t messageOffset,
                                                int32_t priority) {
    const ErrnoGuard keepErrno;
    if (item == nullptr || entry == nullptr || recordKind == nullptr) return -1;
    *recordKind = 1;
    std::string_view text;
    if (!entryText(entry, descriptor != nullptr, messageOffset, text)) return -1;
    PrefixSource prefix;
    if (descriptor != nullptr) {
        prefix = PrefixSource{priority, descriptor->tag != nullptr ? descriptor->tag : "",
                              descriptor->pid};
    } else if (tag != nullptr && header != nullptr) {
        prefix = PrefixSource{priority, tag, header->pid};
    }
    return parseInto(item, text, prefix);
}

extern "C" XKT_API int32_t formatRawEntry(void* item, const char* entry,
                                          const LogDeviceHeader* header, int32_t* recordKind,
                                          const struct XKT_LogcatEntry* descriptor,
                                          int32_t priority, int32_t messageOffset,
                                          const char* tag) {
    const ErrnoGuard keepErrno;
    if (item == nullptr || entry == nullptr || recordKind == nullptr) return -1;
    *recordKind = 0;
    // Plain lines count as "Run": they pass only the filters "All" and "Run".
    if (g_logConfig.logType.load(std::memory_order_relaxed) > XKT_LOG_TYPE_RUN) return -1;

    std::string_view text;
    if (descriptor != nullptr) {
        text = std::string_view(entry, strnlen(entry, kPlainLineMax));
    } else if (!entryText(entry, false, messageOffset, text)) {
        return -1;
    }
    PrefixSource prefix;
    if (descriptor == nullptr && tag != nullptr && header != nullptr) {
        prefix = PrefixSource{priority, tag, header->pid};
    }
    buildPlainLine(static_cast<char*>(item), text, prefix);
    return 0;
}
