// The default channel (a formatter whose output discards the text) and the
// local file channel: the lines of channel 2 appended to a size-limited file
// under /tmp/log, of which the current and the previous one are kept.
//
// Channel 2 runs on the log thread for every record, so once the file is
// open a line costs at most one write(2), and while the reader keeps
// handing lines, many lines share one (writeLogFileLine):
// - the file is a descriptor opened O_APPEND (and close-on-exec, for the
//   shell commands the library starts), written without a stdio buffer, so
//   it holds every line completely as soon as the call returns;
// - the size test before each line uses the position kept here (size at
//   open plus what was written) instead of a seek;
// - whether the file is still the one on disk under its path is checked
//   (stat of the path against the open file's inode) at most once per
//   kLogFileCheckIntervalMs and on the line after a failed write. That check
//   also picks up the true size, should someone have truncated the file.
#include "log_channels.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "box_path.h"
#include "log_init.h"
#include "log_model.h"
#include "mutex_guard.h"
#include "text_builder.h"
#include "xkt_log.h"
#include "xkt_osal.h"

namespace xkt::log {

namespace {

constexpr size_t kPathSize = 256;
constexpr uint32_t kNameSizeMax = 246;      // name buffer 247: "/tmp/log/" + name fits 255
constexpr size_t kNameBufferSize = kNameSizeMax + 1;
constexpr size_t kMacLength = 17;
constexpr size_t kMacTailAt = 9;            // "aa-bb-cc-" skipped: the last three octets
constexpr int32_t kRingSlots = 3;
constexpr size_t kDefaultLineMax = XKT_LOG_FORMAT_BUFFER_SIZE - 1;
constexpr std::string_view kLogSuffix = ".log";

using LogPath = BoxText<kPathSize>;

LogPath g_logFilePath;
int g_logFileHandle = -1;
// Identity and size of the open file.
dev_t g_logFileDevice = 0;
ino_t g_logFileInode = 0;
uint64_t g_logFilePosition = 0;

// Paths of the files this process created; at most two are on disk.
std::array<LogPath, kRingSlots> g_logFileNames;
int32_t g_logFileNameWrite = 0;
int32_t g_logFileNameOldest = 0;

// Names have a resolution of one second, yet a busy box fills a file many
// times a second. A name already used in the same second (or, after the
// clock went back, one still in the ring) gets "_<n>" before ".log", so the
// ring never holds one path twice: deleting the file before the previous one
// would otherwise delete the current file.
char g_lastName[kNameBufferSize] = {};
uint32_t g_lastNameRepeats = 0;

uint32_t g_lastCheckMs = 0;
bool g_checkNext = false;
// A failed open is retried at most once per check interval, not on every
// line: the lines are dropped either way, the retry costs several calls.
bool g_openFailed = false;
uint32_t g_openFailedMs = 0;
bool g_writeFailureReported = false;
uint32_t g_writeFailureMs = 0;

// The log thread's lines that wait for the lines after them.
constexpr size_t kPendingSize = 16384;
char g_pending[kPendingSize];
size_t g_pendingLength = 0;
uint32_t g_pendingSinceMs = 0;
// Whether lines wait, readable without the lock: the reader's idle pass
// then leaves the lock alone, which XKT_logDeinit may have destroyed.
std::atomic<bool> g_linesWait{false};

std::string_view bounded(const char* text, size_t size) {
    return std::string_view(text, strnlen(text, size - 1));
}

// ---- Default line ----------------------------------------------------------

void appendDefaultLine(TextBuilder& line, const LogRecord& record) {
    line.decimal(record.time.hour, 2, true).ch(':').decimal(record.time.minute, 2, true).ch(':');
    line.decimal(record.time.second, 2, true).ch('|');
    line.text(typeName(record.type)).ch('|').text(levelName(record.level)).ch('|');
    line.rightAligned(bounded(record.module, sizeof record.module), 10).ch('|');
    if (g_logConfig.inited.load(std::memory_order_relaxed) == 1) {
        line.text("0x").hex(record.threadId, 8).ch(':');
        line.text(bounded(record.file, sizeof record.file)).ch(':').decimal(record.line).ch(':');
        line.text(bounded(record.function, sizeof record.function)).ch('|');
    }
    line.text(bounded(record.message, sizeof record.message)).text("\r\n");
}

// ---- Ring of file names ------------------------------------------------------

bool inRing(std::string_view path) {
    for (int32_t slot = g_logFileNameOldest; slot != g_logFileNameWrite;
         slot = (slot + 1) % kRingSlots) {
        if (g_logFileNames[slot].view() == path) return true;
    }
    return false;
}

void rememberPath(const LogPath& path) {
    const int32_t next = (g_logFileNameWrite + 1) % kRingSlots;
    if (next == g_logFileNameOldest) {
        unlink(g_logFileNames[g_logFileNameOldest].c_str());
        g_logFileNameOldest = (g_logFileNameOldest + 1) % kRingSlots;
    }
    g_logFileNames[g_logFileNameWrite] = path;
    g_logFileNameWrite = next;
}

// The open failed: the path names no file, so it must not count as one of
// the two kept, or the next attempt would delete the previous good file.
void forgetNewestPath() {
    g_logFileNameWrite = (g_logFileNameWrite + kRingSlots - 1) % kRingSlots;
    g_logFileNames[g_logFileNameWrite].data()[0] = '\0';
}

// g_logFilePath from the directory and a new name. -1 when it does not fit.
int32_t choosePath(const char* directory, const char* name) {
    const bool repeated = std::strcmp(name, g_lastName) == 0;
    uint32_t repeats = repeated ? g_lastNameRepeats + 1 : 0;
    std::string_view stem(name);
    if (stem.size() >= kLogSuffix.size() &&
        stem.substr(stem.size() - kLogSuffix.size()) == kLogSuffix) {
        stem.remove_suffix(kLogSuffix.size());
    }
    for (;; ++repeats) {
        const int32_t rc = repeats == 0
            ? g_logFilePath.format("%s/%s", directory, name)
            : g_logFilePath.format("%s/%.*s_%u%s", directory, static_cast<int>(stem.size()),
                                   stem.data(), repeats, kLogSuffix.data());
        if (rc != 0) return -1;
        if (!inRing(g_logFilePath.view())) break;
    }
    std::memcpy(g_lastName, name, std::strlen(name) + 1);
    g_lastNameRepeats = repeats;
    return 0;
}

// ---- The open file -------------------------------------------------------------

void closeFile() {
    if (g_logFileHandle >= 0) close(g_logFileHandle);
    g_logFileHandle = -1;
}

// Whether the path still names the file we write to.
bool fileStillThere() {
    struct stat st {};
    if (stat(g_logFilePath.c_str(), &st) != 0 || st.st_dev != g_logFileDevice ||
        st.st_ino != g_logFileInode) {
        return false;
    }
    g_logFilePosition = static_cast<uint64_t>(st.st_size);
    return true;
}

// XKT_logInitFile with g_logFileMutex held.
int32_t openLogFile() {
    if (g_logFileHandle >= 0) return 0;
    char name[kNameBufferSize];
    LogPath directory;
    if (XKT_logGetOutputName(name, kNameSizeMax) != 0 || directory.path(kLogDirectory) != 0 ||
        choosePath(directory.c_str(), name) != 0) {
        return -1;
    }
    rememberPath(g_logFilePath);
    // Initialisation creates the directory; should it have been removed
    // since, it is created again so that logging resumes by itself. When
    // that fails, so does the open below.
    mkdir(directory.c_str(), 0700);
    chmod(directory.c_str(), 0700);
    umask(066);  // files 0600; the mask stays for the whole process
    const int fd = open(g_logFilePath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0) close(fd);
        forgetNewestPath();
        return -1;
    }
    g_logFileHandle = fd;
    g_logFileDevice = st.st_dev;
    g_logFileInode = st.st_ino;
    g_logFilePosition = static_cast<uint64_t>(st.st_size);
    return 0;
}

// Opens a new file unless the last failure is too recent. true when open.
bool reopen(uint32_t now) {
    if (g_openFailed && now - g_openFailedMs < kLogFileCheckIntervalMs) return false;
    if (openLogFile() != 0) {
        g_logFilePath.data()[0] = '\0';
        g_openFailed = true;
        g_openFailedMs = now;
        return false;
    }
    g_openFailed = false;
    g_lastCheckMs = now;
    return true;
}

// Writes the whole text. true when a short write is to be reported.
bool writeLine(const char* text, size_t length, uint32_t now) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(g_logFileHandle, text + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    g_logFilePosition += done;
    if (done == length) return false;
    g_checkNext = true;  // the file system may have gone away under us
    if (g_writeFailureReported && now - g_writeFailureMs < kWriteFailureReportMs) return false;
    g_writeFailureReported = true;
    g_writeFailureMs = now;
    return true;
}

// Writes the waiting lines to the open file. true when a short write is to
// be reported.
bool flushPending(uint32_t now) {
    const size_t length = g_pendingLength;
    g_pendingLength = 0;
    g_linesWait.store(false, std::memory_order_relaxed);
    return length > 0 && g_logFileHandle >= 0 && writeLine(g_pending, length, now);
}

// Whether a line may join the waiting ones: the file is open and needs no
// look, the line would land in it (the waiting lines do not fill it), and
// neither room nor age forbid.
bool mayJoinPending(size_t length, uint32_t now, bool checkDue) {
    return g_logFileHandle >= 0 && !checkDue &&
           g_logFilePosition + g_pendingLength < kLogFileRotationSize &&
           g_pendingLength + length <= kPendingSize &&
           (g_pendingLength == 0 || now - g_pendingSinceMs < kPendingLineMaxAgeMs);
}

void joinPending(const char* text, size_t length, uint32_t now) {
    if (g_pendingLength == 0) {
        g_pendingSinceMs = now;
        g_linesWait.store(true, std::memory_order_relaxed);
    }
    std::memcpy(g_pending + g_pendingLength, text, length);
    g_pendingLength += length;
}

void reportWriteFailure(int writeError) {
    errno = writeError;  // the report's code field names the cause
    XKT_logWrite(__FILE__, __LINE__, "XKT_logWriteFile", 0, XKT_LOG_TYPE_RUN,
                 XKT_LOG_LEVEL_DEBUG, "LOG", "fwrite failed");
}

// One line after the waiting ones were written, with g_logFileMutex held:
// the file's look, re-open and rotation as for every line. true when a
// short write is to be reported.
bool placeLine(const char* text, size_t length, bool mayWait, uint32_t now, bool checkDue) {
    if (g_logFileHandle >= 0 && checkDue) {
        g_checkNext = false;
        g_lastCheckMs = now;
        if (!fileStillThere()) closeFile();
    }
    if (g_logFileHandle < 0 && !reopen(now)) return false;
    if (g_logFilePosition >= kLogFileRotationSize) {
        closeFile();
        g_logFilePath.data()[0] = '\0';
        if (!reopen(now)) return false;
    }
    if (mayWait && length <= kPendingSize) {
        joinPending(text, length, now);
        return false;
    }
    return writeLine(text, length, now);
}

}  // namespace

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_logDefFormatter(const void* item, char* out, int32_t recordKind) {
    if (item == nullptr || out == nullptr) return -1;
    TextBuilder line(out, kDefaultLineMax);
    if (recordKind != 1) {
        line.text(bounded(static_cast<const char*>(item), kDefaultLineMax + 1));
    } else {
        appendDefaultLine(line, *static_cast<const LogRecord*>(item));
    }
    line.finish();
    return 0;
}

extern "C" XKT_API int32_t XKT_logDefOutput(const char* /*text*/) { return 0; }

int32_t xkt::log::writeLogFileLine(const char* text, size_t length, bool mayWait) {
    const uint32_t now = XKT_get_ticks();
    bool report = false;
    int writeError = 0;
    {
        MutexGuard lock(g_logFileMutex.load(std::memory_order_acquire));
        const bool checkDue = g_checkNext || now - g_lastCheckMs >= kLogFileCheckIntervalMs;
        if (mayWait && mayJoinPending(length, now, checkDue)) {
            joinPending(text, length, now);
            return 0;
        }
        report = flushPending(now);
        writeError = errno;
        if (placeLine(text, length, mayWait, now, checkDue) && !report) {
            report = true;
            writeError = errno;
        }
    }
    if (report) reportWriteFailure(writeError);
    return 0;
}

void xkt::log::flushLogFileLines() {
    if (!g_linesWait.load(std::memory_order_relaxed)) return;
    bool report = false;
    int writeError = 0;
    {
        MutexGuard lock(g_logFileMutex.load(std::memory_order_acquire));
        if (g_pendingLength == 0) return;
        report = flushPending(XKT_get_ticks());
        writeError = errno;
    }
    if (report) reportWriteFailure(writeError);
}

extern "C" XKT_API int32_t XKT_logFileOutput(const char* text) {
    if (text == nullptr) return -1;
    return writeLogFileLine(text, std::strlen(text));
}

extern "C" XKT_API int32_t XKT_logInitFile(void) {
    MutexGuard lock(g_logFileMutex.load(std::memory_order_acquire));
    return openLogFile();
}

extern "C" XKT_API int32_t XKT_logGetOutputName(char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0 || size > kNameSizeMax) return -1;
    LogTime now{};
    if (XKT_get_Localtime(&now) != 0) return -1;
    char mac[kMacStringSize];
    const size_t macLength = strnlen(g_macString, sizeof g_macString);
    if (macLength != kMacLength) return -1;
    for (size_t i = 0; i <= macLength; ++i) mac[i] = g_macString[i] == ':' ? '-' : g_macString[i];
    memset_s(buffer, size, 0, size);
    snprintf_s(buffer, size, size - 1, "%s_%04d%02d%02d%02d%02d%02d.log", mac + kMacTailAt,
               now.year, now.month, now.day, now.hour, now.minute, now.second);
    return 0;
}

extern "C" XKT_API char* XKT_logGetFilePath(char* buffer, uint32_t size) {
    if (buffer == nullptr || size > LogPath::limit()) return nullptr;
    // The lock keeps a reader on another thread from seeing a half-written path.
    MutexGuard lock(g_logFileMutex.load(std::memory_order_acquire));
    strncpy_s(buffer, size, g_logFilePath.c_str(), size - 1);
    return buffer;
}

extern "C" XKT_API int32_t XKT_logFileFormatter(const void* item, const char* text,
                                                uint32_t* lengthOut) {
    if (item == nullptr || text == nullptr || lengthOut == nullptr) return -1;
    *lengthOut = static_cast<uint32_t>(std::strlen(text));
    return 0;
}
