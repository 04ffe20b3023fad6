// The write path: filter, record, record line, Android log. It runs on the
// caller's thread for every message, so once warm it makes no system call:
// the thread id is cached by the platform, the clock comes from the vDSO and
// the local-time conversion is redone only when the second changes.
#include "log_write.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <ctime>
#include <string_view>
#include <sys/time.h>

#include "android/log.h"
#include "bounded_text.h"
#include "errno_guard.h"
#include "log_model.h"
#include "log_settings.h"
#include "message_format.h"
#include "text_builder.h"
#include "xkt_osal.h"

namespace xkt::log {

namespace {

constexpr const char* kTag = "XKT";
constexpr size_t kMaxCopiedText = XKT_LOG_TEXT_SIZE - 1;
constexpr size_t kFormatMessageMax = XKT_LOG_MESSAGE_SIZE - 1;

// Incremented without a lock or a locked instruction: two threads may stamp
// the same number, which no reader minds, and writers on several cores do
// not queue on the counter. Each on a cache line of its own: every write
// stores to it, and the filter state every write reads must not share it.
alignas(64) std::atomic<uint32_t> g_writeSequence{0};
alignas(64) std::atomic<uint32_t> g_formatWriteSequence{0};

uint32_t nextSequence(std::atomic<uint32_t>& counter) {
    const uint32_t next = counter.load(std::memory_order_relaxed) + 1;
    counter.store(next, std::memory_order_relaxed);
    return next;
}

// At most 63 characters, terminated; a null text leaves the field empty.
void copyField(char (&field)[XKT_LOG_TEXT_SIZE], const char* text) {
    const size_t length = text != nullptr ? strnlen(text, kMaxCopiedText) : 0;
    if (length > 0) std::memcpy(field, text, length);
    field[length] = '\0';
}

void setLength(LogRecord& record) {
    record.length = static_cast<uint32_t>(std::strlen(record.message)) + kRecordLengthBase;
}

// Record lines are built with plain stores, not printf: this runs once per
// message on the caller's thread. Every field before the message is bounded
// (clock values, names, 63-character texts, 32-bit numbers), so that part
// always fits the line and only the message needs cutting.
class FieldWriter {
public:
    explicit FieldWriter(char* out) : begin_(out), p_(out) {}

    FieldWriter& ch(char c) {
        *p_++ = c;
        return *this;
    }
    FieldWriter& view(std::string_view text) {
        std::memcpy(p_, text.data(), text.size());
        p_ += text.size();
        return *this;
    }
    FieldWriter& field(const char (&text)[XKT_LOG_TEXT_SIZE]) {
        return view(std::string_view(text, strnlen(text, kMaxCopiedText)));
    }
    // "%2d"; a clock gives 0..99, anything else takes the general path.
    FieldWriter& twoDigits(int32_t value) {
        if (value < 0 || value > 99) return decimal(value, 2);
        *p_++ = value < 10 ? ' ' : static_cast<char>('0' + value / 10);
        *p_++ = static_cast<char>('0' + value % 10);
        return *this;
    }
    // "%u".
    FieldWriter& number(uint32_t value) {
        const size_t digits = decimalLength(value);
        p_ += digits;
        digitsBefore(p_, value);
        return *this;
    }
    // "%010u": the tick count, ten digits whatever its value, two at a time
    // in 32-bit arithmetic (a 64-bit division is a library call on the box).
    FieldWriter& tenDigits(uint32_t value) {
        for (int pair = 4; pair >= 0; --pair) {
            std::memcpy(p_ + 2 * pair, kDigitPairs + (value % 100) * 2, 2);
            value /= 100;
        }
        p_ += 10;
        return *this;
    }
    // "%d".
    FieldWriter& number(int32_t value) {
        if (value < 0) *p_++ = '-';
        return number(value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value));
    }
    // "%*d" for the rare clock value outside 0..99.
    FieldWriter& decimal(int64_t value, int width) {
        TextBuilder text(p_, kNumberMax);
        text.decimal(value, width);
        p_ += text.finish();
        return *this;
    }
    FieldWriter& hex8(uint32_t value) {
        for (int i = 7; i >= 0; --i) {
            p_[i] = "0123456789abcdef"[value & 0xFu];
            value >>= 4;
        }
        p_ += 8;
        return *this;
    }
    // "%10s": right-aligned, never cut.
    FieldWriter& rightAligned10(const char (&text)[XKT_LOG_TEXT_SIZE]) {
        const size_t length = strnlen(text, kMaxCopiedText);
        for (size_t pad = length; pad < 10; ++pad) *p_++ = ' ';
        return view(std::string_view(text, length));
    }
    size_t length() const { return static_cast<size_t>(p_ - begin_); }

    static constexpr size_t kNumberMax = 24;

private:
    char* begin_;
    char* p_;
};

// "%2d:%2d:%2d|%010u|%s|%s|%10s|", shared by every layout of the write calls.
// Inlined, so that the line's position stays in a register: stores through a
// char pointer may alias anything in memory, the position included.
[[gnu::always_inline]] inline void putHead(FieldWriter& line, const LogRecord& record,
                                          uint32_t ticks) {
    line.twoDigits(record.time.hour).ch(':').twoDigits(record.time.minute).ch(':');
    line.twoDigits(record.time.second).ch('|').tenDigits(ticks).ch('|');
    line.view(typeName(record.type)).ch('|').view(levelName(record.level)).ch('|');
    line.rightAligned10(record.module).ch('|');
}

[[gnu::always_inline]] inline void putCode(FieldWriter& line, int32_t code) {
    line.view("code:").number(code).ch('|');
}

// The longest fixed part: head, thread id, file, line, function, code.
constexpr size_t kFixedPartMax = 3 * FieldWriter::kNumberMax + 2 + 11 + kInvalidType.size() +
                                 kInvalidLevel.size() + 2 + kMaxCopiedText + 1 + 2 +
                                 FieldWriter::kNumberMax + 1 + kMaxCopiedText + 1 +
                                 FieldWriter::kNumberMax + 1 + kMaxCopiedText + 1 + 5 +
                                 FieldWriter::kNumberMax + 1;
static_assert(kFixedPartMax < kRecordLineSize / 2, "fixed fields must leave room for the message");

size_t appendMessage(char* out, size_t used, size_t limit, const char* message) {
    const size_t length = strnlen(message, XKT_LOG_MESSAGE_SIZE - 1);
    const size_t kept = used + length <= limit ? length : limit - used;
    std::memcpy(out + used, message, kept);
    out[used + kept] = '\0';
    return used + kept;
}

struct LocalTimeCache {
    time_t second = -1;
    struct tm fields {};
};
// Initial-exec: the library is linked, not loaded late, and this is read per message.
__attribute__((tls_model("initial-exec"))) thread_local LocalTimeCache t_localTime;

int writeRecordLine(LogLevel level, const char* text) {
    return __android_log_write(writePriority(level), kTag, text);
}

// The agent's time text: UTC with milliseconds.
void formatAgentTime(char (&out)[32]) {
    struct timeval now {};
    struct tm utc {};
    gettimeofday(&now, nullptr);
    time_t seconds = now.tv_sec;
    if (gmtime_r(&seconds, &utc) == nullptr) {
        out[0] = '\0';
        return;
    }
    formatText(out, sizeof out - 1, "%04d-%02d-%02d %02d:%02d:%02d.%03d", utc.tm_year + 1900,
               utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
               static_cast<int>(now.tv_usec / 1000));
}

}  // namespace

void buildWriteRecord(LogRecord& record, const WriteRequest& request, const char* format,
                      va_list args) {
    // Every field is written below; clearing the whole 1.3 KB record for
    // each message would cost more than filling it. The time's reserved
    // words stay zero, as every holder of a time keeps them.
    std::memset(&record, 0, offsetof(LogRecord, module));
    record.code = 0;
    record.sequence = nextSequence(g_writeSequence);
    record.type = request.type;
    record.level = request.level;
    if (readSetting(g_iJcKpiEnable) == 0) {
        record.threadId = XKT_thread_gettid();
        XKT_get_Localtime(&record.time);
    } else {
        // KPI mode spares the look-ups and carries the caller's code instead.
        record.threadId = static_cast<uint32_t>(request.code);
    }
    copyField(record.module, request.module);
    copyField(record.file, XKT_logGetFile(request.file));
    copyField(record.function, request.function);
    record.line = request.line;
    record.message[0] = '\0';
    const size_t length =
        format != nullptr ? formatMessage(record.message, kWriteMessageMax, format, args) : 0;
    record.length = static_cast<uint32_t>(length) + kRecordLengthBase;
}

size_t formatWriteLine(const LogRecord& record, uint32_t ticks, int32_t code, bool direct,
                       char* out) {
    FieldWriter line(out);
    putHead(line, record, ticks);
    line.number(record.threadId).ch(':').field(record.file).ch(':').number(record.line);
    if (!direct) line.ch(':').field(record.function);
    line.ch('|');
    putCode(line, code);
    return appendMessage(out, line.length(), kRecordLineSize - 1, record.message);
}

size_t formatFormattedLine(const LogRecord& record, uint32_t ticks, int32_t code, bool direct,
                           char* out) {
    FieldWriter line(out);
    putHead(line, record, ticks);
    line.view("0x").hex8(record.threadId).ch(':').field(record.file).ch(':');
    line.number(record.line).ch('|');
    if (direct) putCode(line, code);
    return appendMessage(out, line.length(), kRecordLineSize - 1, record.message);
}

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_logWrite(const char* file, int32_t line, const char* function,
                                        int32_t code, LogType type, LogLevel level,
                                        const char* module, const char* format, ...) {
    // The code field reports the caller's errno, taken before anything here
    // can touch it.
    const ErrnoGuard callerErrno;
    if (XKT_canLogOutput(type, level, module) != 0) return -1;

    LogRecord record;
    va_list args;
    va_start(args, format);
    buildWriteRecord(record, WriteRequest{file, line, function, code, type, level, module},
                     format, args);
    va_end(args);

    const bool direct = g_iDirectOutputLog.load(std::memory_order_relaxed) != 0;
    const bool kpi = readSetting(g_iJcKpiEnable) != 0;
    const uint32_t ticks = kpi && !direct ? 0 : XKT_get_ticks();
    char text[kRecordLineSize];
    formatWriteLine(record, ticks, callerErrno.saved(), direct, text);
    return writeRecordLine(level, text);
}

extern "C" XKT_API int32_t XKT_logFormatWrite(const char* file, int32_t line,
                                              const char* function, uint32_t threadId,
                                              LogType type, LogLevel level, const char* module,
                                              const char* text) {
    const ErrnoGuard callerErrno;
    if (XKT_canLogOutput(type, level, module) != 0) return -1;

    LogRecord record;
    std::memset(&record, 0, sizeof record);
    record.sequence = nextSequence(g_formatWriteSequence);
    record.type = type;
    record.level = level;
    XKT_CalTime utc{};
    if (XKT_get_time(&utc) == -1) return 0;
    record.time.second = utc.second;
    record.time.minute = utc.minute;
    record.time.hour = utc.hour;
    record.time.day = utc.day;
    record.time.month = utc.month;
    record.time.year = utc.year;
    record.threadId = threadId;
    copyField(record.module, module);
    copyField(record.file, XKT_logGetFile(file));
    copyField(record.function, function);
    record.line = line;
    copyText(record.message, text, kFormatMessageMax);
    setLength(record);

    const bool direct = g_iDirectOutputLog.load(std::memory_order_relaxed) != 0;
    char lineText[kRecordLineSize];
    formatFormattedLine(record, XKT_get_ticks(), callerErrno.saved(), direct, lineText);
    return writeRecordLine(level, lineText);
}

extern "C" XKT_API int32_t android_log_write(const char* file, int32_t line, const char* function,
                                             int32_t value, LogType type, LogLevel level,
                                             const char* module, const char* format, ...) {
    const ErrnoGuard callerErrno;
    if (XKT_canLogOutput(type, level, module) != 0) return -1;

    char message[XKT_LOG_MESSAGE_SIZE] = {};
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        vsnprintf_s(message, sizeof message, sizeof message - 1, format, args);
        va_end(args);
    }
    char timeText[32];
    formatAgentTime(timeText);

    char text[kAgentLineSize];
    TextBuilder out(text, sizeof text - 1);
    out.text(timeText).ch('|').text(typeName(type)).ch('|').text(levelName(level)).ch('|');
    out.text(module).ch('|').decimal(value).ch('|');
    out.text(XKT_logGetFile(file)).ch(':').decimal(line).ch(':').text(function).ch('|');
    out.text("code:").decimal(callerErrno.saved()).ch('|');
    out.text(message);
    out.finish();
    __android_log_write(agentPriority(level), kTag, text);
    return 0;
}

extern "C" XKT_API const char* XKT_logGetFile(const char* path) {
    if (path == nullptr) return nullptr;
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

extern "C" XKT_API int32_t XKT_get_Localtime(LogTime* time) {
    const ErrnoGuard keepErrno;
    if (time == nullptr) return -1;
    // Only whole seconds are kept, so the coarse clock (a plain memory read
    // in the vDSO) is enough.
    struct timespec now {};
    if (clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0 && clock_gettime(CLOCK_REALTIME, &now) != 0) {
        return -1;
    }
    LocalTimeCache& cache = t_localTime;
    if (now.tv_sec != cache.second) {
        if (localtime_r(&now.tv_sec, &cache.fields) == nullptr) return -1;
        cache.second = now.tv_sec;
    }
    time->second = cache.fields.tm_sec;
    time->minute = cache.fields.tm_min;
    time->hour = cache.fields.tm_hour;
    time->day = cache.fields.tm_mday;
    time->month = cache.fields.tm_mon + 1;
    time->year = cache.fields.tm_year + 1900;
    return 0;
}

extern "C" XKT_API void XKT_logWriteEx(void) {}

// One function under two names, as older callers know it.
extern "C" XKT_API void intrace(void) __attribute__((alias("XKT_logWriteEx")));

namespace {

constexpr uint32_t kDumpMaxBytes = 512;
constexpr size_t kDumpRowWidth = 68;   // 48 hex, 3 blanks, 16 characters, line feed
constexpr size_t kDumpHexColumns = 48;
constexpr size_t kDumpCharColumn = 51;

bool printable(uint8_t byte) { return byte >= 0x20 && byte <= 0x7e; }

// One row of the dump: bytes as "%02x " and as characters; a short last row
// is filled with blanks.
void dumpRow(char* row, const uint8_t* bytes, size_t count) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::memset(row, ' ', kDumpRowWidth - 1);
    for (size_t i = 0; i < count; ++i) {
        row[i * 3] = kHex[bytes[i] >> 4];
        row[i * 3 + 1] = kHex[bytes[i] & 0xF];
        row[kDumpCharColumn + i] = printable(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
    }
    row[kDumpRowWidth - 1] = '\n';
}

constexpr std::string_view kCurlTexts[] = {
    "", "<= Recv header", "=> Send header", "<= Recv data",
    "=> Send data", "<= Recv SSL data", "=> Send SSL data",
};

}  // namespace

static_assert(kDumpHexColumns + 3 == kDumpCharColumn);

extern "C" XKT_API void XKT_logPrintBuf(const void* buffer, uint32_t length) {
    const ErrnoGuard keepErrno;
    if (buffer == nullptr || length == 0) return;
    const uint32_t n = length < kDumpMaxBytes ? length : kDumpMaxBytes;
    const size_t rows = (n + 15) / 16;
    const size_t size = (n / 16 + 1) * kDumpRowWidth + 2;
    auto* text = static_cast<char*>(XKT_malloc(static_cast<uint32_t>(size)));
    if (text == nullptr) return;
    std::memset(text, 0, size);
    text[0] = '\n';
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    for (size_t row = 0; row < rows; ++row) {
        const size_t count = n - row * 16 < 16 ? n - row * 16 : 16;
        dumpRow(text + 1 + row * kDumpRowWidth, bytes + row * 16, count);
    }
    XKT_logWrite(__FILE__, __LINE__, "XKT_logPrintBuf", 0, XKT_LOG_TYPE_RUN, XKT_LOG_LEVEL_DEBUG,
                 "common", "%s", text);
    XKT_free(text);
}

extern "C" XKT_API int32_t XKT_CurlDebugLog(void* /*handle*/, int32_t infoType, char* data,
                                            size_t size, void* /*userData*/) {
    const ErrnoGuard keepErrno;
    if (infoType == 0) {
        if (data != nullptr) {
            XKT_logWrite(__FILE__, __LINE__, "XKT_CurlDebugLog", 0, XKT_LOG_TYPE_RUN,
                         XKT_LOG_LEVEL_DEBUG, "common", "== Info: %s", data);
        }
    } else if (infoType > 0 && infoType < static_cast<int32_t>(std::size(kCurlTexts))) {
        XKT_logWrite(__FILE__, __LINE__, "XKT_CurlDebugLog", 0, XKT_LOG_TYPE_RUN,
                     XKT_LOG_LEVEL_DEBUG, "common", "%s, %10.10zu bytes",
                     kCurlTexts[infoType].data(), size);
    }
    return 0;
}
