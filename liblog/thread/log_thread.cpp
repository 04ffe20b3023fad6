// The log thread: reads the Android log back, from the log devices on older
// Android generations or through the logcat reader on newer ones, and hands
// every converted item to the channel table. In logcat mode it carries the
// whole box's log, so a pass makes no call beyond the read itself, and its
// buffers are cleared only as far as the last item wrote: every formatter
// still gets a cleared line buffer and every channel an item with zeros
// behind its text, as if each were cleared whole.
#include "log_thread.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <sys/select.h>

#include "android/log.h"
#include "channel_table.h"
#include "errno_guard.h"
#include "log_channels.h"
#include "log_model.h"
#include "log_settings.h"
#include "platform_seam.h"
#include "xkt_osal.h"
#include "xkt_utility.h"

extern "C" {
XKT_API char logDev[4][16] = {"/dev/log/main", "/dev/log/radio", "/dev/log/events",
                              "/dev/log/system"};
XKT_API int32_t logDeviceFd[8] = {};
}

namespace xkt::log {

namespace {

constexpr size_t kEntrySize = XKT_LOG_ITEM_SIZE;
constexpr int32_t kMinPayload = 3;  // a priority and two NULs
constexpr suseconds_t kSelectTimeoutUs = 50000;
constexpr uint32_t kPauseAfterItemMs = 1;
constexpr uint32_t kPauseIdleDeviceMs = 10;
constexpr uint32_t kPauseIdleLogcatMs = 100;
constexpr size_t kFdSlots = sizeof logDeviceFd / sizeof logDeviceFd[0];

uint32_t le16(const char* p) {
    return uint32_t{static_cast<uint8_t>(p[0])} | uint32_t{static_cast<uint8_t>(p[1])} << 8;
}
int32_t le32(const char* p) {
    return static_cast<int32_t>(le16(p) | le16(p + 2) << 16);
}

// The devices that open fill logDeviceFd from its first slot; a 0 ends the list.
bool openLogDevices() {
    std::memset(logDeviceFd, 0, sizeof logDeviceFd);
    size_t opened = 0;
    for (const auto& device : logDev) {
        // The table is writable by the host: never trust its terminator.
        char path[sizeof device + 1] = {};
        std::memcpy(path, device, sizeof device);
        const int32_t fd = openLogDevice(path);
        if (fd < 0) {
            perror("Log:open device faild\n");
            continue;
        }
        logDeviceFd[opened++] = fd;
    }
    return opened > 0;
}

// fd_set holds descriptors below FD_SETSIZE only; others are left out.
bool selectable(int32_t fd) { return fd > 0 && fd < FD_SETSIZE; }

// Waits up to 50 ms for any listed device; false when none is ready.
bool waitForDevices(fd_set& ready) {
    FD_ZERO(&ready);
    int32_t highest = 0;
    for (size_t i = 0; i < kFdSlots && logDeviceFd[i] != 0; ++i) {
        if (!selectable(logDeviceFd[i])) continue;
        FD_SET(logDeviceFd[i], &ready);
        if (logDeviceFd[i] > highest) highest = logDeviceFd[i];
    }
    timeval timeout{0, kSelectTimeoutUs};
    return waitForLogDevices(highest + 1, &ready, &timeout) > 0;
}

// A channel whose output discards the text, fed by a formatter that writes
// nowhere else, changes nothing anyone can see (the default channel).
bool changesNothing(const FormatterOps& formatter, const OutputOps& output) {
    return output.discards && (formatter.function == nullptr || formatter.writesUpToNul);
}

// Bytes of the line buffer the formatter may have written.
size_t writtenBy(const FormatterOps& formatter, const char* text) {
    constexpr size_t kSize = XKT_LOG_FORMAT_BUFFER_SIZE;
    if (!formatter.writesUpToNul) return kSize;
    return std::min(strnlen(text, kSize) + 1, kSize);
}

// The log thread's buffers, kept from pass to pass.
struct ThreadBuffers {
    LogRecord item;                  // a record or a plain line
    size_t itemDirty = sizeof item;  // bytes of item from here on are 0
    char text[kEntrySize];           // the logcat reader's text
    FormatBuffer line;
};

void readDevicePass(ThreadBuffers& buffers, int32_t& recordKind) {
    std::memset(&buffers.item, 0, sizeof buffers.item);
    if (XKT_logBufRead(&buffers.item, &recordKind) == 0) {
        dispatchItem(&buffers.item, recordKind, buffers.line);
        XKT_sleep(kPauseAfterItemMs);
    } else {
        XKT_sleep(kPauseIdleDeviceMs);
    }
    buffers.itemDirty = sizeof buffers.item;
}

// Converts and dispatches one line. The item is cleared behind what the
// conversion wrote, up to where the last item ended: it reaches the
// channels as if cleared whole first.
void takeLogcatLine(ThreadBuffers& buffers, std::string_view line,
                    const XKT_LogcatEntry& descriptor, int32_t& recordKind) {
    const size_t written = convertLogcatLine(buffers.item, line, descriptor, recordKind);
    if (written == 0) return;
    if (written < buffers.itemDirty) {
        std::memset(reinterpret_cast<char*>(&buffers.item) + written, 0,
                    buffers.itemDirty - written);
    }
    buffers.itemDirty = written;
    // The text ends in the item's last byte written, its NUL.
    const size_t textStart = recordKind == 1 ? offsetof(LogRecord, message) : 0;
    dispatchItem(&buffers.item, recordKind, buffers.line, written - textStart - 1, true);
}

void readLogcatPass(ThreadBuffers& buffers, XKT_LogcatEntry& descriptor, int32_t& recordKind) {
    // Cleared whole: the reader on the box need not end its text with a NUL.
    char* const text = buffers.text;
    std::memset(text, 0, kEntrySize);
    if (xkt_read_logcat(text, static_cast<int32_t>(kEntrySize), &descriptor) != 0 ||
        text[0] == '\0') {
        flushLogFileLines();  // nothing waits across the pause
        XKT_sleep(kPauseIdleLogcatMs);
        return;
    }
    text[kEntrySize - 1] = '\0';  // whatever the reader left there
    // The pieces strtok_r(text, "\n") gives: runs of characters other than
    // a line feed, empty ones skipped. One pass finds each line's end and
    // the text's, which the NUL just written bounds.
    const char* pos = text;
    while (*pos != '\0') {
        const char* const lineEnd = strchrnul(pos, '\n');
        if (lineEnd != pos) {
            takeLogcatLine(buffers, std::string_view(pos, static_cast<size_t>(lineEnd - pos)),
                           descriptor, recordKind);
        }
        pos = *lineEnd == '\n' ? lineEnd + 1 : lineEnd;
    }
    // Whether or not this entry reached the file, the lines waiting for it
    // are written at their deadline.
    flushDueLogFileLines();
}

}  // namespace

LogDeviceHeader decodeDeviceHeader(const char* entry) {
    LogDeviceHeader header{};
    header.length = static_cast<uint16_t>(le16(entry));
    header.padding = static_cast<uint16_t>(le16(entry + 2));
    header.pid = le32(entry + 4);
    header.tid = le32(entry + 8);
    header.seconds = le32(entry + 12);
    header.nanoseconds = le32(entry + 16);
    return header;
}

int32_t takeDeviceEntry(void* item, const char* entry, int32_t bytesRead, int32_t* recordKind) {
    const LogDeviceHeader header = decodeDeviceHeader(entry);
    if (bytesRead - kDeviceHeaderSize != int32_t{header.length} || header.length < kMinPayload) {
        return -1;
    }
    return convertLogEntry(item, entry, &header, recordKind, nullptr) == -1 ? -1 : 0;
}

void dispatchItem(const void* item, int32_t recordKind, FormatBuffer& buffer, size_t textLength,
                  bool fileLinesMayWait) {
    // In device mode the error-log channel has threads of its own.
    const bool errorLogHere = g_iLogcatMode.load(std::memory_order_relaxed) != 0;
    for (int32_t index = 0; index < kChannelCount; ++index) {
        if (index == kErrorLogChannel && !errorLogHere) continue;
        const FormatterOps formatter = formatterOpsAt(index);
        const OutputOps output = outputOpsAt(index);
        // An empty channel never sees the buffer, so it needs no clearing.
        if ((formatter.function == nullptr && output.function == nullptr) ||
            changesNothing(formatter, output)) {
            continue;
        }
        std::memset(buffer.text, 0, buffer.dirty);
        buffer.dirty = 0;
        size_t lineLength = formatter.function == nullptr ? 0 : kUnknownLength;
        if (formatter.withLength != nullptr) {
            formatter.withLength(item, buffer.text, recordKind, textLength, lineLength);
            buffer.dirty = lineLength + 1;
        } else if (formatter.function != nullptr) {
            formatter.function(item, buffer.text, recordKind);
            buffer.dirty = writtenBy(formatter, buffer.text);
        }
        // Outputs get the text read-only: they leave the buffer as it is.
        if (output.withLength != nullptr && lineLength != kUnknownLength) {
            output.withLength(buffer.text, lineLength, fileLinesMayWait);
        } else if (output.function != nullptr) {
            output.function(buffer.text);
        }
    }
}

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_logThread(void) {
    const ErrnoGuard keepErrno;
    XKT_thread_setname("log_thread");
    if (g_iLogcatMode.load(std::memory_order_relaxed) == 0 && !openLogDevices()) {
        __android_log_print(ANDROID_LOG_DEBUG, "LOG", "Log:none log devices can be opened\n");
        return 0;
    }
    ThreadBuffers buffers;
    XKT_LogcatEntry descriptor{};
    int32_t recordKind = 0;
    for (;;) {
        // Re-read every pass: initialisation may switch the mode while we run.
        if (g_iLogcatMode.load(std::memory_order_relaxed) != 1) {
            readDevicePass(buffers, recordKind);
        } else {
            readLogcatPass(buffers, descriptor, recordKind);
        }
    }
}

extern "C" XKT_API int32_t XKT_logBufRead(void* item, int32_t* recordKind) {
    const ErrnoGuard keepErrno;
    if (item == nullptr || recordKind == nullptr) return -1;
    fd_set ready;
    if (!waitForDevices(ready)) return -1;
    char entry[kEntrySize];
    for (size_t i = 0; i < kFdSlots && logDeviceFd[i] != 0; ++i) {
        const int32_t fd = logDeviceFd[i];
        if (!selectable(fd) || !FD_ISSET(fd, &ready)) continue;
        std::memset(entry, 0, sizeof entry);
        const int32_t bytesRead = readLogDevice(fd, entry, sizeof entry - 1);
        if (bytesRead <= 0) {
            // An entry too large for the buffer stays in place and would
            // fail every later read: the device is emptied instead.
            perror("Log:read device log faild\n");
            flushLogDevice(fd);
            return -1;
        }
        // The others that were ready stay ready for the next call.
        if (takeDeviceEntry(item, entry, bytesRead, recordKind) == 0) return 0;
    }
    return -1;
}

extern "C" XKT_API int32_t XKT_processLog(void* item, int32_t* recordKind) {
    const ErrnoGuard keepErrno;
    if (item == nullptr || recordKind == nullptr) return -1;
    FormatBuffer buffer;
    dispatchItem(item, *recordKind, buffer);
    return 0;
}
