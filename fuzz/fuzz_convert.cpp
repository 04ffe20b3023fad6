// libFuzzer target for convertLogEntry, the code that reads what any
// process on the box may write into the Android log.
//
// Input: five control bytes, then the entry.
//   [0] bit 0: device entry (else a logcat line); bit 1: a newer Android
//       generation (logcat reader); bit 2: take the device payload length
//       from the entry's own header bytes instead of from its size
//   [1] type filter, [2] level filter (one value past each table too)
//   [3] logcat priority, [4] logcat tag
// Entries sit in heap buffers of exactly their contract's size (1288 bytes
// for a device entry, the line and its NUL for a logcat line), so
// AddressSanitizer sees any read past them. Beside memory safety the target
// checks what every accepted item must be, and, for record lines, that the
// fields are those sscanf reads.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "log_model.h"
#include "xkt_log.h"
#include "xkt_utility.h"

namespace {

constexpr size_t kItem = XKT_LOG_ITEM_SIZE;
constexpr size_t kHeader = 20;
constexpr size_t kControl = 5;
constexpr const char* kTags[] = {"XKT", "CPE", "XKTPlayer", "ActivityManager", "XK", "", nullptr};
constexpr size_t kTagCount = sizeof kTags / sizeof kTags[0];

int32_t g_generation = 2;

uint32_t le(const char* p, size_t bytes) {
    uint32_t value = 0;
    for (size_t i = bytes; i > 0; --i) value = value << 8 | static_cast<uint8_t>(p[i - 1]);
    return value;
}

void require(bool condition) {
    if (!condition) __builtin_trap();
}

// An accepted item is what the channels can read safely: a terminated line,
// or a record with terminated texts and names from the tables.
void checkItem(const char* item, int32_t kind) {
    if (kind == 0) {
        require(strnlen(item, kItem) < kItem);
        return;
    }
    require(kind == 1);
    LogRecord record;
    std::memcpy(&record, item, sizeof record);
    require(record.type <= XKT_LOG_TYPE_NONE && record.level <= XKT_LOG_LEVEL_NONE);
    require(strnlen(record.module, sizeof record.module) < sizeof record.module);
    require(strnlen(record.file, sizeof record.file) < sizeof record.file);
    require(record.function[0] == '\0' && record.length == 0 && record.sequence == 0);
    require(strnlen(record.message, sizeof record.message) < sizeof record.message);
}

// A digit run this long may overflow, where the C library and the box differ.
bool hasLongNumber(const char* text) {
    size_t run = 0;
    for (; *text != '\0'; ++text) {
        run = std::isxdigit(static_cast<unsigned char>(*text)) != 0 ? run + 1 : 0;
        if (run > 8) return true;
    }
    return false;
}

// The library's own reading of a record line must agree with sscanf's
// reading of the same format: no ten fields, no record; a record, the same
// fields.
void compareWithScanf(const char* line, int32_t rc, const char* item) {
    if (strnlen(line, kHeader) < kHeader || hasLongNumber(line)) return;
    int hour = 0, minute = 0, second = 0, ticks = 0, number = 0;
    unsigned threadId = 0;
    char type[17], level[17], module[64], file[64];
    const int fields = std::sscanf(line + kHeader,
                                   "%2d:%2d:%2d|%d|%16[^|]|%16[^|]|%63[^|]|%x:%63[^:]:%d|", &hour,
                                   &minute, &second, &ticks, type, level, module, &threadId, file,
                                   &number);
    if (fields < 10) require(rc == -1);
    if (fields < 10 || rc != 0) return;
    LogRecord record;
    std::memcpy(&record, item, sizeof record);
    require(record.time.hour == hour && record.time.minute == minute &&
            record.time.second == second && record.threadId == threadId && record.line == number);
    require(std::strcmp(record.module, module) == 0 && std::strcmp(record.file, file) == 0);
}

int32_t convertDevice(char* item, const char* data, size_t size, bool ownLength, int32_t* kind) {
    std::unique_ptr<char[]> entry(new char[kItem]());  // the last byte stays 0
    const size_t n = std::min(size, kItem - 1);
    std::memcpy(entry.get(), data, n);
    LogDeviceHeader header{};
    const size_t payload = n > kHeader ? n - kHeader : 0;
    header.length = static_cast<uint16_t>(ownLength ? le(entry.get(), 2) : payload);
    header.pid = static_cast<int32_t>(le(entry.get() + 4, 4));
    return convertLogEntry(item, entry.get(), &header, kind, nullptr);
}

int32_t convertLine(char* item, const char* data, size_t size, const uint8_t* control,
                    int32_t* kind) {
    const size_t n = strnlen(data, std::min(size, kItem - 1));
    std::unique_ptr<char[]> line(new char[n + 1]);
    std::memcpy(line.get(), data, n);
    line[n] = '\0';
    XKT_LogcatEntry descriptor{};
    descriptor.priority = control[3];
    descriptor.pid = static_cast<int32_t>(control[3]) * 997;
    descriptor.tag = kTags[control[4] % kTagCount];
    const int32_t rc = convertLogEntry(item, line.get(), nullptr, kind, &descriptor);
    if (g_generation > 2 && control[4] % kTagCount < 3) compareWithScanf(line.get(), rc, item);
    return rc;
}

}  // namespace

// Linked with --wrap=getAndroidVersion: the input, not the platform, picks
// the generation, so one process reaches both modes.
extern "C" int32_t __wrap_getAndroidVersion(void) { return g_generation; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kControl) return 0;
    const uint8_t* control = data;
    g_generation = (control[0] & 2) != 0 ? 4 : 2;
    xkt::log::g_logConfig.logType = control[1] % (XKT_LOG_TYPE_NONE + 2);
    xkt::log::g_logConfig.logLevel = control[2] % (XKT_LOG_LEVEL_NONE + 2);
    const char* entry = reinterpret_cast<const char*>(data + kControl);
    size -= kControl;

    std::unique_ptr<char[]> item(new char[kItem]());
    int32_t kind = -1;
    const int32_t rc = (control[0] & 1) != 0
                           ? convertDevice(item.get(), entry, size, (control[0] & 4) != 0, &kind)
                           : convertLine(item.get(), entry, size, control, &kind);
    require(rc == 0 || rc == -1);
    if (rc == 0) checkItem(item.get(), kind);
    return 0;
}
