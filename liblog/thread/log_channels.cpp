// The default channel (a formatter whose output discards the text) and the
// local file channel: the lines of channel 2 appended to a size-limited file
// under /tmp/log, of which the current and the previous one are kept.
//
// Channel 2 runs on the log thread for every record, so once the file is
// open a line costs one fstat(2) and one write(2), and while the reader
// keeps handing lines, many lines share them (writeLogFileLine):
// - the file is a descriptor opened O_APPEND (and close-on-exec, for the
//   shell commands the library starts), written without a stdio buffer, so
//   it holds every line completely as soon as the call returns;
// - before each write an fstat of the descriptor tells whether the file was
//   deleted (no link left: a new file takes the lines) and its true size,
//   should someone have truncated it;
// - a line the file could not take, whole, is counted (logFileLinesLost).
#include "log_channels.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "box_path.h"
#include "errno_guard.h"
#include "log_model.h"
#include "log_settings.h"
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
uint64_t g_logFilePosition = 0;  // size of the open file

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

// Lines that reached the file channel but not the file, whole.
std::atomic<uint64_t> g_linesLost{0};

// The log thread's lines that wait for the lines after them, and where
// each ends, so that a short write knows how many it cut.
constexpr size_t kPendingSize = 16384;
constexpr size_t kPendingLinesMax = 512;
char g_pending[kPendingSize];
size_t g_pendingLength = 0;
std::array<uint32_t, kPendingLinesMax> g_pendingEnds;
size_t g_pendingLines = 0;
// Readable without the lock: the reader's passes and the flush timer then
// leave the lock alone while nothing waits (XKT_logDeinit may have
// destroyed it).
std::atomic<bool> g_linesWait{false};
std::atomic<uint32_t> g_pendingSinceMs{0};
std::atomic<bool> g_flushTimerArmed{false};

// The path as XKT_logGetFilePath hands it to any thread, without the file
// lock: a sequence count, odd while the path changes, tells a reader to
// copy again. Only holders of g_logFileMutex publish.
class PublishedPath {
public:
    void publish(std::string_view path) {
        const uint32_t sequence = sequence_.load(std::memory_order_relaxed);
        sequence_.store(sequence + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        const size_t length = std::min(path.size(), text_.size() - 1);
        for (size_t i = 0; i < length; ++i) text_[i].store(path[i], std::memory_order_relaxed);
        text_[length].store('\0', std::memory_order_relaxed);
        sequence_.store(sequence + 2, std::memory_order_release);
    }
    // At most size - 1 characters and a NUL into buffer (size > 0).
    void copyTo(char* buffer, size_t size) const {
        uint32_t before = 0;
        do {
            before = sequence_.load(std::memory_order_acquire);
            size_t i = 0;
            for (; i + 1 < size && i < text_.size(); ++i) {
                const char c = text_[i].load(std::memory_order_relaxed);
                if (c == '\0') break;
                buffer[i] = c;
            }
            buffer[i] = '\0';
            // Orders the loads above before the second look at the count.
            std::atomic_thread_fence(std::memory_order_acquire);
        } while ((before & 1U) != 0 || sequence_.load(std::memory_order_relaxed) != before);
    }

private:
    std::atomic<uint32_t> sequence_{0};
    std::array<std::atomic<char>, LogPath::capacity()> text_{};
};
PublishedPath g_publishedPath;

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

void clearPath() {
    g_logFilePath.data()[0] = '\0';
    g_publishedPath.publish({});
}

void closeFile() {
    if (g_logFileHandle >= 0) close(g_logFileHandle);
    g_logFileHandle = -1;
}

// XKT_logInitFile with g_logFileMutex held.
int32_t openLogFile() {
    if (g_logFileHandle >= 0) return 0;
    char name[kNameBufferSize];
    LogPath directory;
    if (XKT_logGetOutputName(name, kNameSizeMax) != 0 || directory.path(kLogDirectory) != 0 ||
        choosePath(directory.c_str(), name) != 0) {
        clearPath();
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
        clearPath();
        return -1;
    }
    g_logFileHandle = fd;
    g_logFilePosition = static_cast<uint64_t>(st.st_size);
    g_publishedPath.publish(g_logFilePath.view());
    return 0;
}

// A file deleted from outside (or with its directory) has no link left:
// lines written to it would be lost with it.
void closeIfDeleted() {
    struct stat st {};
    if (g_logFileHandle < 0) return;
    if (fstat(g_logFileHandle, &st) != 0 || st.st_nlink == 0) {
        closeFile();
        return;
    }
    g_logFilePosition = static_cast<uint64_t>(st.st_size);
}

// A file to write to: the open one while it is on disk, else a new one.
// Every line tries again, so a failed open costs no line that could have
// been written.
bool fileReady() {
    closeIfDeleted();
    return g_logFileHandle >= 0 || openLogFile() == 0;
}

bool rotateIfFull() {
    if (g_logFilePosition < kLogFileRotationSize) return true;
    closeFile();
    clearPath();
    return openLogFile() == 0;
}

// Writes length bytes holding `lines` lines, the i-th ending at ends[i].
// Lines not written whole are counted lost. true when the write was short.
bool writeLines(const char* text, size_t length, const uint32_t* ends, size_t lines) {
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
    size_t whole = 0;
    while (whole < lines && ends[whole] <= done) ++whole;
    g_linesLost.fetch_add(lines - whole, std::memory_order_relaxed);
    return true;
}

void dropPending() {
    g_pendingLength = 0;
    g_pendingLines = 0;
    g_linesWait.store(false, std::memory_order_relaxed);
}

// Writes the waiting lines. true when the write was short.
bool flushPending() {
    if (g_pendingLines == 0) return false;
    bool shortWrite = false;
    if (fileReady()) {
        shortWrite = writeLines(g_pending, g_pendingLength, g_pendingEnds.data(), g_pendingLines);
    } else {
        g_linesLost.fetch_add(g_pendingLines, std::memory_order_relaxed);
    }
    dropPending();
    return shortWrite;
}

// Whether a line may join the waiting ones without a look at the file:
// lines wait, the line would land in the same file (the waiting lines do
// not fill it), and neither room nor age forbid.
bool mayJoinPending(size_t length, uint32_t now) {
    return g_pendingLines > 0 && g_pendingLines < kPendingLinesMax &&
           g_logFilePosition + g_pendingLength < kLogFileRotationSize &&
           g_pendingLength + length <= kPendingSize &&
           now - g_pendingSinceMs.load(std::memory_order_relaxed) < kPendingLineMaxAgeMs;
}

// true when the line starts the waiting lines.
bool joinPending(const char* text, size_t length, uint32_t now) {
    const bool first = g_pendingLines == 0;
    if (first) {
        g_pendingSinceMs.store(now, std::memory_order_relaxed);
        g_linesWait.store(true, std::memory_order_relaxed);
    }
    std::memcpy(g_pending + g_pendingLength, text, length);
    g_pendingLength += length;
    g_pendingEnds[g_pendingLines++] = static_cast<uint32_t>(g_pendingLength);
    return first;
}

void reportWriteFailure(int writeError) {
    errno = writeError;  // the report's code field names the cause
    XKT_logWrite(__FILE__, __LINE__, "XKT_logWriteFile", 0, XKT_LOG_TYPE_RUN,
                 XKT_LOG_LEVEL_DEBUG, "LOG", "fwrite failed");
}

// A line with the waiting ones written, with g_logFileMutex held: it waits
// in turn or is written now. true when a write was short.
bool placeLine(const char* text, size_t length, bool mayWait, uint32_t now, bool& startedWait) {
    if (!fileReady() || !rotateIfFull()) {
        g_linesLost.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (mayWait && length <= kPendingSize) {
        startedWait = joinPending(text, length, now);
        return false;
    }
    const uint32_t end = static_cast<uint32_t>(length);
    return writeLines(text, length, &end, 1);
}

// The waiting lines are shared by the log thread and the flush timer. Their
// own lock, made once and never destroyed, keeps the two apart also after
// XKT_logDeinit destroyed the file lock while the log thread goes on.
// Taken after the file lock.
uint32_t waitingLinesLock() {
    static const uint32_t lock = XKT_mutex_create();
    return lock;
}

void flushWaitingLines() {
    if (!g_linesWait.load(std::memory_order_relaxed)) return;
    bool shortWrite = false;
    int writeError = 0;
    {
        MutexGuard lock(g_logFileMutex.load(std::memory_order_acquire));
        MutexGuard waiting(waitingLinesLock());
        shortWrite = flushPending();
        writeError = errno;
    }
    if (shortWrite) reportWriteFailure(writeError);
}

// The waiting lines are written at their deadline even when no line comes
// after them and the reader waits for the log or is busy elsewhere.
void onFlushTimer(int32_t /*timerId*/, int32_t /*arg*/) {
    g_flushTimerArmed.store(false, std::memory_order_relaxed);
    flushWaitingLines();
}

void armFlushTimer() {
    static const bool timersReady = XKT_timer_init() == 0;
    if (!timersReady || g_flushTimerArmed.exchange(true, std::memory_order_relaxed)) return;
    if (XKT_timer_add(onFlushTimer, 0, kPendingLineMaxAgeMs, 0) < 0) {
        // The reader's own look after each read still bounds the wait.
        g_flushTimerArmed.store(false, std::memory_order_relaxed);
    }
}

}  // namespace

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_logDefFormatter(const void* item, char* out, int32_t recordKind) {
    const ErrnoGuard keepErrno;
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
    bool shortWrite = false;
    bool startedWait = false;
    int writeError = 0;
    {
        MutexGuard lock(g_logFileMutex.load(std::memory_order_acquire));
        MutexGuard waiting(waitingLinesLock());
        if (mayWait && mayJoinPending(length, now)) {
            joinPending(text, length, now);
            return 0;
        }
        shortWrite = flushPending();
        if (shortWrite) writeError = errno;
        if (placeLine(text, length, mayWait, now, startedWait) && !shortWrite) {
            shortWrite = true;
            writeError = errno;
        }
    }
    if (startedWait) armFlushTimer();
    if (shortWrite) reportWriteFailure(writeError);
    return 0;
}

void xkt::log::flushLogFileLines() { flushWaitingLines(); }

void xkt::log::flushDueLogFileLines() {
    if (g_linesWait.load(std::memory_order_relaxed) &&
        XKT_get_ticks() - g_pendingSinceMs.load(std::memory_order_relaxed) >=
            kPendingLineMaxAgeMs) {
        flushLogFileLines();
    }
}

uint64_t xkt::log::logFileLinesLost() { return g_linesLost.load(std::memory_order_relaxed); }

extern "C" XKT_API int32_t XKT_logFileOutput(const char* text) {
    const ErrnoGuard keepErrno;
    if (text == nullptr) return -1;
    return writeLogFileLine(text, std::strlen(text));
}

extern "C" XKT_API int32_t XKT_logInitFile(void) {
    const ErrnoGuard keepErrno;
    MutexGuard lock(g_logFileMutex.load(std::memory_order_acquire));
    return openLogFile();
}

extern "C" XKT_API int32_t XKT_logGetOutputName(char* buffer, uint32_t size) {
    const ErrnoGuard keepErrno;
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
    const ErrnoGuard keepErrno;
    if (buffer == nullptr || size > LogPath::limit()) return nullptr;
    if (size > 0) g_publishedPath.copyTo(buffer, size);
    return buffer;
}

extern "C" XKT_API int32_t XKT_logFileFormatter(const void* item, const char* text,
                                                uint32_t* lengthOut) {
    if (item == nullptr || text == nullptr || lengthOut == nullptr) return -1;
    *lengthOut = static_cast<uint32_t>(std::strlen(text));
    return 0;
}
