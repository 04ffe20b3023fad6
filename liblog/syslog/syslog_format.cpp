// Syslog lines: the classic BSD-style layout with the box's MAC address as
// host, and the octet-counted structured layout of the TLS stream.
//
// The classic formatter runs on the log thread for every record (it is the
// local file channel's formatter), so lines are built with plain stores and
// the time stamp text is made once per second.
#include "syslog_format.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "errno_guard.h"
#include "log_model.h"
#include "log_settings.h"
#include "syslog_transport.h"
#include "text_builder.h"
#include "xkt_log.h"
#include "xkt_osal.h"

namespace xkt::log {

char g_syslogTagPrefix[kSyslogTextSize] = {};
char g_softwareVersion[kSyslogTextSize] = {};
std::atomic<uint32_t> g_syslogIdentityVersion{0};

namespace {

// The tag prefix joined with the software version, as the agent last set
// them. Each formatting thread keeps its own copy and renews it under the
// syslog lock only when the agent has written since.
const char* syslogIdentity() {
    struct Identity {
        uint32_t version = 0;
        char text[2 * kSyslogTextSize] = "";
    };
    thread_local Identity cached;
    const uint32_t version = g_syslogIdentityVersion.load(std::memory_order_acquire);
    if (cached.version != version) {
        SyslogLock lock;
        const size_t prefix = strnlen(g_syslogTagPrefix, kSyslogTextSize - 1);
        const size_t software = strnlen(g_softwareVersion, kSyslogTextSize - 1);
        std::memcpy(cached.text, g_syslogTagPrefix, prefix);
        std::memcpy(cached.text + prefix, g_softwareVersion, software);
        cached.text[prefix + software] = '\0';
        cached.version = g_syslogIdentityVersion.load(std::memory_order_relaxed);
    }
    return cached.text;
}

}  // namespace


namespace {

// " WARN" shares severity 3 with "ERROR"; " NONE" and "None" have no entry.
constexpr std::array<int32_t, 6> syslogSeverityByLevel{0, 7, 6, 3, 3, 0};
constexpr std::array<int32_t, 5> syslogFacilityByType{0, 17, 16, 19, 20};
static_assert(syslogSeverityByLevel.size() == XKT_LOG_LEVEL_NONE);
static_assert(syslogFacilityByType.size() == XKT_LOG_TYPE_NONE);

constexpr std::array<std::string_view, 12> kMonthNames{
    "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr int32_t kPlainLinePri = 143;  // facility 17 ("Run"), severity 7
constexpr size_t kClassicLineMax = 1021;
constexpr int32_t kStructuredSizeMin = 7;
constexpr size_t kOctetCountWidth = 5;  // "%04d "
constexpr size_t kOctetCountMax = 9999;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr size_t kTimeFieldsSize = offsetof(LogTime, reserved);

template <size_t N>
std::string_view bounded(const char (&text)[N]) {
    return std::string_view(text, strnlen(text, N - 1));
}

struct SyslogItem {
    int32_t pri = 0;
    const LogRecord* record = nullptr;  // null for a plain text line
    std::string_view message;
};

// PRI and message of the item, whose text is textLength characters long
// (kUnknownLength: yet to be measured). false when the tables give no PRI
// (reported).
bool readItem(const void* item, int32_t recordKind, const char* function, size_t textLength,
              SyslogItem& out) {
    if (recordKind != 1) {
        const char* text = static_cast<const char*>(item);
        out.pri = kPlainLinePri;
        out.message = std::string_view(
            text, textLength != kUnknownLength ? textLength
                                               : strnlen(text, XKT_LOG_FORMAT_BUFFER_SIZE - 1));
        return true;
    }
    out.record = static_cast<const LogRecord*>(item);
    out.pri = XKT_getLocalLogPRI(out.record->level, out.record->type);
    if (out.pri == -1) {
        XKT_logWrite(__FILE__, __LINE__, function, 0, XKT_LOG_TYPE_RUN, XKT_LOG_LEVEL_ERROR, "LOG",
                     "get log PRI failed");
        return false;
    }
    out.message = textLength != kUnknownLength
                      ? std::string_view(out.record->message, textLength)
                      : bounded(out.record->message);
    return true;
}

bool readTime(LogTime& time) {
    std::memset(&time, 0, sizeof time);
    int32_t rc = 0;
    if (readSetting(g_iLogUseUTCTime) != 0) {
        XKT_CalTime utc{};
        rc = XKT_get_time(&utc);
        time.second = utc.second;
        time.minute = utc.minute;
        time.hour = utc.hour;
        time.day = utc.day;
        time.month = utc.month;
        time.year = utc.year;
    } else {
        rc = XKT_get_Localtime(&time);
    }
    // The month picks a name; a clock that says otherwise is unusable.
    return rc == 0 && time.month >= 1 && time.month <= 12;
}

// "Mmm dd hh:mm:ss " of the last second this thread formatted. Month 0
// never matches a real time, so the first call always formats.
struct ClassicStamp {
    LogTime time;
    char text[64];
    size_t length;
};
__attribute__((tls_model("initial-exec"))) thread_local ClassicStamp t_classicStamp{};

std::string_view classicStamp(const LogTime& time) {
    ClassicStamp& cache = t_classicStamp;
    if (std::memcmp(&cache.time, &time, kTimeFieldsSize) != 0) {
        TextBuilder stamp(cache.text, sizeof cache.text - 1);
        stamp.text(kMonthNames[static_cast<size_t>(time.month - 1)]).ch(' ');
        stamp.decimal(time.day, 2, true).ch(' ').decimal(time.hour, 2, true).ch(':');
        stamp.decimal(time.minute, 2, true).ch(':').decimal(time.second, 2, true).ch(' ');
        cache.length = stamp.finish();
        cache.time = time;
    }
    return std::string_view(cache.text, cache.length);
}

// Copies a text of the agent's or the record's, bounded by its array; many
// are empty (no tag prefix, no software version until the agent sets them).
template <size_t N>
char* putText(char* out, const char (&text)[N]) {
    if (text[0] == '\0') return out;
    const size_t length = strnlen(text, N - 1);
    std::memcpy(out, text, length);
    return out + length;
}

char* put(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

// Everything in front of the message is bounded by its parts' arrays, far
// below the line's limit: it is written unchecked, and only the message can
// be cut.
constexpr size_t kNumberMax = 11;  // "-2147483648"
constexpr size_t kClassicHeadMax = 1 + kNumberMax + 1 + sizeof ClassicStamp::text - 1 +
                                   kMacStringSize - 1 + 1 + 2 * (kSyslogTextSize - 1) + 1 +
                                   XKT_LOG_TEXT_SIZE - 1 + 1 + kNumberMax + 6 + kNumberMax + 1;
static_assert(kClassicHeadMax < kClassicLineMax);

// "<pri>Mmm dd hh:mm:ss MAC identity ": the line in front of the record's
// own fields.
char* putClassicHead(char* out, int32_t pri, const LogTime& time, const char (&mac)[kMacStringSize]) {
    char* p = out;
    *p++ = '<';
    p = putDecimal(p, pri);
    *p++ = '>';
    p = put(p, classicStamp(time));
    p = putText(p, mac);
    *p++ = ' ';
    p = put(p, syslogIdentity());
    *p++ = ' ';
    return p;
}

constexpr size_t kClassicHeadTextMax = 1 + kNumberMax + 1 + sizeof ClassicStamp::text - 1 +
                                       kMacStringSize - 1 + 1 + 2 * (kSyslogTextSize - 1) + 1;

// The head of the last line this thread formatted. It changes only with the
// second, the PRI, the MAC address text or the agent's identity, so most
// lines copy it instead of building it again.
struct ClassicHead {
    LogTime time;
    int32_t pri;
    uint32_t identityVersion;
    char mac[kMacStringSize];
    size_t length;  // 0 while nothing is cached: a head is never empty
    char text[kClassicHeadTextMax];
};
__attribute__((tls_model("initial-exec"))) thread_local ClassicHead t_classicHead{};

// putClassicHead through this thread's cache: the same bytes.
char* putCachedClassicHead(char* out, int32_t pri, const LogTime& time,
                           const char (&mac)[kMacStringSize]) {
    ClassicHead& cache = t_classicHead;
    const uint32_t identityVersion = g_syslogIdentityVersion.load(std::memory_order_acquire);
    if (cache.length == 0 || cache.pri != pri || cache.identityVersion != identityVersion ||
        std::memcmp(&cache.time, &time, kTimeFieldsSize) != 0 ||
        std::memcmp(cache.mac, mac, sizeof cache.mac) != 0) {
        cache.length = static_cast<size_t>(putClassicHead(cache.text, pri, time, mac) - cache.text);
        cache.pri = pri;
        cache.identityVersion = identityVersion;
        cache.time = time;
        std::memcpy(cache.mac, mac, sizeof cache.mac);
    }
    std::memcpy(out, cache.text, cache.length);
    return out + cache.length;
}

}  // namespace

bool readClockTime(LogTime& time) { return readTime(time); }

namespace {

char* composeClassicLineAs(const char (&mac)[kMacStringSize], char* out, size_t lineMax,
                           int32_t pri, const LogRecord* record, std::string_view message,
                           const LogTime& time, bool& cut) {
    char* p = putCachedClassicHead(out, pri, time, mac);
    if (record != nullptr && record->line != 0 && record->file[0] != '\0') {
        p = putText(p, record->file);
        *p++ = ':';
        p = putDecimal(p, record->line);
        p = put(p, " code:");
        p = putDecimal(p, record->code);
        *p++ = ' ';
    }
    const size_t room = lineMax - static_cast<size_t>(p - out);
    const size_t length = std::min(message.size(), room);
    std::memcpy(p, message.data(), length);
    p += length;
    *p = '\0';
    cut = length < message.size();
    return p;
}

}  // namespace

char* composeClassicLine(char* out, size_t lineMax, int32_t pri, const LogRecord* record,
                         std::string_view message, const LogTime& time, bool& cut) {
    return composeClassicLineAs(g_macString, out, lineMax, pri, record, message, time, cut);
}

namespace {

int32_t formatClassic(const char (&mac)[kMacStringSize], const void* item, char* out,
                      int32_t recordKind, size_t textLength, size_t& lineLength) {
    lineLength = 0;
    if (item == nullptr || out == nullptr) return -1;
    SyslogItem entry;
    LogTime time;
    if (!readItem(item, recordKind, "XKT_SyslogFormatter", textLength, entry) || !readTime(time)) {
        return -1;
    }
    bool cut = false;
    char* const end = composeClassicLineAs(mac, out, kClassicLineMax, entry.pri, entry.record,
                                           entry.message, time, cut);
    lineLength = static_cast<size_t>(end - out);
    // A cut line is handed on as it is, without a line feed.
    if (cut) return -1;
    if (end[-1] != '\n') ++lineLength;  // the line feed XKT_CheckLogFinshFlag adds
    return XKT_CheckLogFinshFlag(out, static_cast<int32_t>(end - out));
}

int32_t formatStructured(const void* item, char* out, int32_t size, int32_t recordKind,
                         size_t textLength, size_t& lineLength) {
    lineLength = 0;
    if (item == nullptr || out == nullptr || size < kStructuredSizeMin) return -1;
    SyslogItem entry;
    LogTime time;
    if (!readItem(item, recordKind, "XKT_syslogProtoFormatter", textLength, entry) ||
        !readTime(time)) {
        return -1;
    }
    // The count has four digits, so the message behind it stays below 10000.
    const size_t room = static_cast<size_t>(size) - kOctetCountWidth - 1;
    TextBuilder body(out + kOctetCountWidth, room < kOctetCountMax ? room : kOctetCountMax);
    body.ch('<').decimal(entry.pri).text(">1 ").decimal(time.year, 4, true).ch('-');
    body.decimal(time.month, 2, true).ch('-').decimal(time.day, 2, true).ch('T');
    body.decimal(time.hour, 2, true).ch(':').decimal(time.minute, 2, true).ch(':');
    body.decimal(time.second, 2, true).text(" - - - - - ").text(kByteOrderMark).ch(' ');
    body.text(entry.message).ch('\n');
    size_t count = body.finish();
    lineLength = kOctetCountWidth + count;
    for (size_t digit = 4; digit-- > 0; count /= 10) {
        out[digit] = static_cast<char>('0' + count % 10);
    }
    out[4] = ' ';
    return body.cut() ? -1 : 0;
}

// The structured layout is the TLS stream's; an AES key means datagrams.
bool structuredLayout() {
    return g_iUseHttpsSyslog.load(std::memory_order_relaxed) != 0 && g_syslogAesKey[0] == 0;
}

}  // namespace

int32_t formatSyslogLine(const void* item, char* out, int32_t recordKind, size_t textLength,
                         size_t& lineLength) {
    if (structuredLayout()) {
        return formatStructured(item, out, XKT_LOG_FORMAT_BUFFER_SIZE, recordKind, textLength,
                                lineLength);
    }
    return formatClassic(g_macString, item, out, recordKind, textLength, lineLength);
}

int32_t formatClassicLineAs(const char* mac, const void* item, char* out, int32_t recordKind,
                            size_t& lineLength) {
    char boxMac[kMacStringSize] = {};
    if (mac != nullptr) std::memcpy(boxMac, mac, strnlen(mac, kMacStringSize - 1));
    return formatClassic(boxMac, item, out, recordKind, kUnknownLength, lineLength);
}

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_getLocalLogPRI(uint32_t level, uint32_t type) {
    const ErrnoGuard keepErrno;
    if (level < syslogSeverityByLevel.size() && type < syslogFacilityByType.size()) {
        return syslogSeverityByLevel[level] + 8 * syslogFacilityByType[type];
    }
    XKT_logWrite(__FILE__, __LINE__, "XKT_getLocalLogPRI", 0, XKT_LOG_TYPE_RUN, XKT_LOG_LEVEL_ERROR,
                 "LOG", "swap CPE LogType[%d] or Level[%d] to Local fail.", static_cast<int>(type),
                 static_cast<int>(level));
    return -1;
}

extern "C" XKT_API int32_t XKT_CheckLogFinshFlag(char* buffer, int32_t length) {
    if (buffer == nullptr || length < 0) return -1;
    if (length > 0 && buffer[length - 1] == '\n') {
        buffer[length] = '\0';
    } else {
        buffer[length] = '\n';
        buffer[length + 1] = '\0';
    }
    return 0;
}

extern "C" XKT_API int32_t XKT_SyslogFormatter(const void* item, char* out, int32_t recordKind) {
    const ErrnoGuard keepErrno;
    size_t lineLength = 0;
    return formatSyslogLine(item, out, recordKind, kUnknownLength, lineLength);
}

extern "C" XKT_API int32_t XKT_syslogProtoFormatter(const void* item, char* out, int32_t size,
                                                    int32_t recordKind) {
    const ErrnoGuard keepErrno;
    size_t lineLength = 0;
    return formatStructured(item, out, size, recordKind, kUnknownLength, lineLength);
}
