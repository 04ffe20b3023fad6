// Conversion of Android log entries into channel items: a middleware record
// line becomes a LogRecord, anything else a plain line in Android's brief
// style. Any process on the box can write any bytes into the Android log, so
// every read here is bounded by the entry buffer itself, never by what the
// entry claims about its own size. Nothing is kept between calls.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "log_model.h"
#include "text_builder.h"
#include "xkt_log.h"
#include "xkt_utility.h"

namespace xkt::log {

namespace {

constexpr size_t kEntrySize = XKT_LOG_ITEM_SIZE;  // device entry or logcat text buffer
constexpr size_t kHeaderSize = 20;
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

// "%c/%.128s(%5d): "
void putPrefix(TextBuilder& out, int32_t priority, const char* tag, int32_t pid) {
    out.ch(priorityLetter(priority)).ch('/');
    out.text(std::string_view(tag, strnlen(tag, kPrefixTagMax)));
    out.ch('(').decimal(pid, 5).text("): ");
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
// with the box's 32-bit long.
class FieldScanner {
public:
    explicit FieldScanner(std::string_view text) : rest_(text) {}

    bool literal(char c) {
        if (!startsWith(c)) return false;
        rest_.remove_prefix(1);
        return true;
    }

    bool decimal(int32_t& value, size_t width = kUnbounded) {
        skipSpace();
        const bool negative = takeSign(width);
        uint64_t magnitude = 0;
        if (takeDigits(10, width, magnitude) == 0) return false;
        auto exact = static_cast<int64_t>(magnitude);  // at most 2^32
        if (negative) exact = -exact;
        value = static_cast<int32_t>(std::clamp<int64_t>(exact, INT32_MIN, INT32_MAX));
        return true;
    }

    bool hex(uint32_t& value) {
        skipSpace();
        size_t width = kUnbounded;
        const bool negative = takeSign(width);
        // A lone "0" counts as a number even when an 'x' follows it.
        const bool zero = literal('0');
        if (zero && !literal('x')) literal('X');
        uint64_t magnitude = 0;
        if (takeDigits(16, width, magnitude) == 0 && !zero) return false;
        const auto low = static_cast<uint32_t>(magnitude);
        value = magnitude > UINT32_MAX ? UINT32_MAX : negative ? 0u - low : low;
        return true;
    }

    // "%N[^stop]"
    bool until(char stop, size_t width, std::string_view& field) {
        size_t n = 0;
        while (n < width && n < rest_.size() && rest_[n] != stop) ++n;
        if (n == 0) return false;
        field = rest_.substr(0, n);
        rest_.remove_prefix(n);
        return true;
    }

private:
    static constexpr size_t kUnbounded = SIZE_MAX;
    static constexpr uint64_t kSaturated = uint64_t{1} << 32;  // beyond every 32-bit value

    void skipSpace() {
        while (!rest_.empty() && isSpace(rest_.front())) rest_.remove_prefix(1);
    }

    bool startsWith(char c) const { return !rest_.empty() && rest_.front() == c; }

    bool takeSign(size_t& width) {
        if (width == 0 || !(startsWith('-') || startsWith('+'))) return false;
        const bool negative = startsWith('-');
        rest_.remove_prefix(1);
        --width;
        return negative;
    }

    size_t takeDigits(unsigned base, size_t width, uint64_t& magnitude) {
        size_t n = 0;
        for (; n < width && n < rest_.size(); ++n) {
            const unsigned digit = digitValue(rest_[n]);
            if (digit >= base) break;
            magnitude = magnitude * base + digit;
            if (magnitude > kSaturated) magnitude = kSaturated;
        }
        rest_.remove_prefix(n);
        return n;
    }

    // The C locale's white space: blank, \t, \n, \v, \f, \r.
    static bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

    static unsigned digitValue(char c) {
        if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
        return 16;
    }

    std::string_view rest_;
};

// The ten fields of "%2d:%2d:%2d|%d|%16[^|]|%16[^|]|%63[^|]|%x:%63[^:]:%d|".
// The '|' behind the line number is not required: a scan counts
// conversions, and it has all ten by then.
struct RecordHead {
    int32_t hour = 0, minute = 0, second = 0, ticks = 0, line = 0;
    uint32_t threadId = 0;
    std::string_view type, level, module, file;
};

bool scanRecordHead(std::string_view text, RecordHead& head) {
    FieldScanner in(text);
    return in.decimal(head.hour, 2) && in.literal(':') && in.decimal(head.minute, 2) &&
           in.literal(':') && in.decimal(head.second, 2) && in.literal('|') &&
           in.decimal(head.ticks) && in.literal('|') && in.until('|', kTypeNameMax, head.type) &&
           in.literal('|') && in.until('|', kTypeNameMax, head.level) && in.literal('|') &&
           in.until('|', kModuleMax, head.module) && in.literal('|') && in.hex(head.threadId) &&
           in.literal(':') && in.until(':', kModuleMax, head.file) && in.literal(':') &&
           in.decimal(head.line);
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

// The message starts behind the first '|' that follows the file name's first
// occurrence in the line, then behind an optional "code:%d|". False when a
// needed '|' is missing.
bool findMessage(std::string_view text, std::string_view file, std::string_view& rest,
                 int32_t& code) {
    const size_t fileAt = text.find(file);
    if (fileAt == std::string_view::npos) return false;
    const size_t bar = text.find('|', fileAt + file.size());
    if (bar == std::string_view::npos) return false;
    rest = text.substr(bar + 1);

    constexpr std::string_view kCode = "code:";
    if (rest.substr(0, kCode.size()) != kCode) return true;
    FieldScanner in(rest.substr(kCode.size()));
    int32_t value = 0;
    if (!in.decimal(value)) return true;
    const size_t codeEnd = rest.find('|');
    if (codeEnd == std::string_view::npos) return false;
    code = value;
    rest.remove_prefix(codeEnd + 1);
    return true;
}

void copyField(char (&field)[XKT_LOG_TEXT_SIZE], std::string_view text) {
    std::memcpy(field, text.data(), text.size());  // the scan bounds it to 63
}

bool middlewareTag(std::string_view tag) { return tag == "XKT" || tag == "CPE"; }

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

int32_t convertLogcatLine(void* item, const char* line, const XKT_LogcatEntry& descriptor,
                          int32_t* recordKind) {
    const int32_t priority = descriptor.priority;
    // The reader's tag may run on ("XKTPlayer"); only its first three count.
    if (getAndroidVersion() > kLastDeviceGeneration && descriptor.tag != nullptr &&
        middlewareTag(std::string_view(descriptor.tag, strnlen(descriptor.tag, 3)))) {
        return parseMiddlewareEntry(item, line, nullptr, recordKind, &descriptor, nullptr, 0,
                                    priority);
    }
    return formatRawEntry(item, line, nullptr, recordKind, &descriptor, priority, 0, nullptr);
}

}  // namespace

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t convertLogEntry(void* item, const char* entry,
                                           const LogDeviceHeader* header, int32_t* recordKind,
                                           const struct XKT_LogcatEntry* descriptor) {
    if (item == nullptr || entry == nullptr || recordKind == nullptr) return -1;
    if (descriptor != nullptr) return convertLogcatLine(item, entry, *descriptor, recordKind);
    if (header != nullptr) return convertDeviceEntry(item, entry, *header, recordKind);
    return -1;
}

extern "C" XKT_API int32_t parseMiddlewareEntry(void* item, const char* entry,
                                                const LogDeviceHeader* header,
                                                int32_t* recordKind,
                                                const struct XKT_LogcatEntry* descriptor,
                                                const char* tag, int32_t messageOffset,
                                                int32_t priority) {
    if (item == nullptr || entry == nullptr || recordKind == nullptr) return -1;
    *recordKind = 1;
    std::string_view text;
    RecordHead head;
    if (!entryText(entry, descriptor != nullptr, messageOffset, text) ||
        !scanRecordHead(text, head)) {
        return -1;
    }
    const int32_t type = nameIndex(kTypeNames, head.type);
    const int32_t level = nameIndex(kLevelNames, head.level);
    if (type < 0 || level < 0 || !typePasses(type)) return -1;
    std::string_view rest;
    int32_t code = 0;
    if (!findMessage(text, head.file, rest, code)) return -1;

    // Only the part up to the message's NUL reaches the item, so only the
    // fields before the message need clearing.
    LogRecord record;
    std::memset(&record, 0, kRecordHeadSize);
    record.type = static_cast<uint32_t>(type);
    record.level = static_cast<uint32_t>(level);
    record.time.hour = head.hour;
    record.time.minute = head.minute;
    record.time.second = head.second;
    copyField(record.module, head.module);
    copyField(record.file, head.file);
    record.line = head.line;
    record.threadId = head.threadId;
    record.code = code;

    TextBuilder message(record.message, kMessageMax);
    if (descriptor != nullptr) {
        putPrefix(message, priority, descriptor->tag != nullptr ? descriptor->tag : "",
                  descriptor->pid);
    } else if (tag != nullptr && header != nullptr) {
        putPrefix(message, priority, tag, header->pid);
    }
    message.text(rest);
    const size_t length = message.finish();
    std::memcpy(item, &record, kRecordHeadSize + length + 1);
    return 0;
}

extern "C" XKT_API int32_t formatRawEntry(void* item, const char* entry,
                                          const LogDeviceHeader* header, int32_t* recordKind,
                                          const struct XKT_LogcatEntry* descriptor,
                                          int32_t priority, int32_t messageOffset,
                                          const char* tag) {
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
    TextBuilder line(static_cast<char*>(item), kPlainLineMax);
    if (descriptor == nullptr && tag != nullptr && header != nullptr) {
        putPrefix(line, priority, tag, header->pid);
    }
    line.text(text).ch('\n');
    line.finish();
    return 0;
}
