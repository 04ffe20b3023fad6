// Channel 4, the error log: ERROR records of the middleware and "E/" lines
// of other programs, kept in a small rotating set of temporary files under
// /tmp/errorlog from which the export packs archives onto flash.
//
// The output runs once per accepted line on the thread that drives channel
// 4, so a line costs one lock and one write(2): the stream is unbuffered
// (every line is on disk when the call returns, and a full disk shows up as
// a short write of that very line), it is opened only after a rotation or
// an export closed it, and the time stamp text is made once per second by
// the syslog line composer this layout shares.
#include "error_log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "box_path.h"
#include "errno_guard.h"
#include "log_settings.h"
#include "mutex_guard.h"
#include "self_log.h"
#include "syslog_format.h"
#include "xkt_log.h"
#include "xkt_osal.h"
#include "xkt_utility.h"

extern "C" {
XKT_API int32_t g_iTmpErrorlogNum = 0;
XKT_API uint32_t g_pErrorLogMutex = 0;
XKT_API FILE* g_pErrorLogFileHandle = nullptr;
}

namespace xkt::log {

namespace {

constexpr const char* kErrorFlashDirectory = "/data/tarvek-log/Error";
constexpr const char* kMemorySizeProperty = "ro.total.memsize";
constexpr int32_t kLargeMemory = 1048576;  // above this, twice the files
constexpr int32_t kFilesSmallBox = 5;
constexpr int32_t kFilesLargeBox = 10;
constexpr uint32_t kRotationSize = 2097152;
constexpr size_t kLineSize = XKT_LOG_FORMAT_BUFFER_SIZE;
constexpr size_t kLineMax = kLineSize - 2;  // room for the line feed and the NUL
constexpr size_t kMessageMax = kLineSize - 1;
constexpr int32_t kPlainLinePriority = 143;

// Guarded by g_pErrorLogMutex.
int32_t g_iTmpErrorlogIndex = 0;
uint32_t g_iTmpErrorlogSize = 0;

uint32_t errorLogLock() { return __atomic_load_n(&g_pErrorLogMutex, __ATOMIC_ACQUIRE); }

bool isEmptyItem(const void* item, int32_t recordKind) {
    const char* bytes = static_cast<const char*>(item);
    if (recordKind != 1) return bytes[0] == '\0';
    return bytes[0] == '\0' && static_cast<const LogRecord*>(item)->message[0] == '\0';
}

// The priority of an accepted record (ERROR, types 0 to 4), or -1.
int32_t recordPriority(const LogRecord& record) {
    if (record.type > XKT_LOG_TYPE_USER || record.level > XKT_LOG_LEVEL_TRACE ||
        record.level != XKT_LOG_LEVEL_ERROR) {
        return -1;
    }
    return XKT_getLocalLogPRI(record.level, record.type);
}

// A plain line is an error when the character before its first "/" (the
// priority letter of "E/tag(pid): ") is "E".
bool isErrorLine(const char* line) {
    const char* slash = std::strchr(line, '/');
    return slash != nullptr && slash != line && slash[-1] == 'E';
}

int32_t fileCount() {
    char value[16] = {};
    if (XKT_property_get(kMemorySizeProperty, value, sizeof value) != 0) return kFilesSmallBox;
    return std::atoi(value) > kLargeMemory ? kFilesLargeBox : kFilesSmallBox;
}

// ---- The current temporary file (g_pErrorLogMutex held) ------------------

using ErrorLogPath = BoxText<64>;

int32_t pathOfFile(ErrorLogPath& path, int32_t number) {
    ErrorLogPath directory;
    if (directory.path(kErrorLogDirectory) != 0) return -1;
    return path.format("%s/error%d.log", directory.c_str(), static_cast<int>(number));
}

FILE* openCurrentFile() {
    ErrorLogPath path;
    if (pathOfFile(path, g_iTmpErrorlogIndex) != 0) return nullptr;
    // Close-on-exec: the exports run shell commands while the file is open.
    FILE* file = std::fopen(path.c_str(), "w+e");
    if (file == nullptr && errno == ENOENT) {
        // Someone removed the directory: capture resumes in a new one.
        ErrorLogPath directory;
        if (directory.path(kErrorLogDirectory) == 0 && mkdir(directory.c_str(), 0700) == 0) {
            file = std::fopen(path.c_str(), "w+e");
        }
    }
    if (file == nullptr) return nullptr;
    const int fd = fileno(file);
    if (fd < 0 || fchmod(fd, 0600) != 0) {
        std::fclose(file);
        return nullptr;
    }
    setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

void rotate() {
    std::fclose(g_pErrorLogFileHandle);
    g_pErrorLogFileHandle = nullptr;
    const int32_t count = g_iTmpErrorlogNum;
    g_iTmpErrorlogIndex = count > 0 ? (g_iTmpErrorlogIndex + 1) % count : 0;
    g_iTmpErrorlogSize = 0;
}

// ---- Initialisation ---------------------------------------------------------

int32_t recreateTemporaryDirectory() {
    constexpr const char* kFunction = "XTK_ErrorLogInit";
    BoxText<128> directory;
    BoxText<128> command;
    if (directory.path(kErrorLogDirectory) != 0 ||
        command.command("busybox rm -rf %s", {directory.view()}) != 0) {
        return XKT_SELF_FAIL(kFunction, "mkdir failed");
    }
    if (XKT_actShellCmd(command.c_str()) < 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "rm %s failed", kErrorLogDirectory);
    }
    makeMissingParents(directory);
    // chmod as well: the process's umask may have taken bits from mkdir's mode.
    if (mkdir(directory.c_str(), 0700) != 0 || chmod(directory.c_str(), 0700) != 0) {
        return XKT_SELF_FAIL(kFunction, "mkdir failed");
    }
    return 0;
}

int32_t ensureFlashDirectory() {
    constexpr const char* kFunction = "XTK_ErrorLogInit";
    BoxText<128> directory;
    if (directory.path(kErrorFlashDirectory) != 0) {
        return XKT_SELF_FAIL(kFunction, "create %s failed", kErrorFlashDirectory);
    }
    if (access(directory.c_str(), F_OK) == 0) return 0;
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "%s is not exist, need create it",
                 kErrorFlashDirectory);
    if (XKT_createFolder(directory.c_str()) == -1) {
        return XKT_SELF_FAIL(kFunction, "create %s failed", kErrorFlashDirectory);
    }
    return 0;
}

// A second initialisation keeps the lock it made before, and starts over
// with file 0 like the first.
int32_t prepareLock() {
    if (errorLogLock() == 0) {
        const uint32_t lock = XKT_mutex_create();
        if (lock == 0) return -1;
        __atomic_store_n(&g_pErrorLogMutex, lock, __ATOMIC_RELEASE);
    }
    MutexGuard guard(errorLogLock());
    closeErrorLogFile();
    g_iTmpErrorlogIndex = 0;
    return 0;
}

}  // namespace

void closeErrorLogFile() {
    if (g_pErrorLogFileHandle != nullptr) std::fclose(g_pErrorLogFileHandle);
    g_pErrorLogFileHandle = nullptr;
    // The file is about to be deleted, so the count starts over with the
    // file of the same number that the next line creates: it then holds a
    // full 2 MiB before it rotates.
    g_iTmpErrorlogSize = 0;
}

void destroyErrorLogLock() {
    if (const uint32_t lock = __atomic_exchange_n(&g_pErrorLogMutex, 0u, __ATOMIC_ACQ_REL)) {
        destroyWhenFree(lock);  // a line or an export may be inside
    }
}

}  // namespace xkt::log

using namespace xkt::log;

int32_t xkt::log::prepareErrorLogCapture() {
    constexpr const char* kFunction = "XTK_ErrorLogInit";
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "enter XTK_ErrorLogInit");
    if (recreateTemporaryDirectory() != 0 || ensureFlashDirectory() != 0) return -1;
    g_iTmpErrorlogNum = fileCount();
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "g_iTmpErrorlogNum=%d",
                 static_cast<int>(g_iTmpErrorlogNum));
    if (XKT_timer_init() != 0) return XKT_SELF_FAIL(kFunction, "XKT_timer_init error...");
    if (prepareLock() != 0) return XKT_SELF_FAIL(kFunction, "create mutex failed");
    XKT_logRegCallback(kErrorLogChannel, XKT_errorlogFormatter, XKT_errorlogFileOutput);
    return 0;
}

extern "C" XKT_API int32_t XKT_errorlogFormatter(const void* item, char* out, int32_t recordKind) {
    const ErrnoGuard keepErrno;
    if (item == nullptr || out == nullptr || isEmptyItem(item, recordKind)) return -1;
    int32_t priority = kPlainLinePriority;
    const char* message = static_cast<const char*>(item);
    if (recordKind == 1) {
        const auto& record = *static_cast<const LogRecord*>(item);
        priority = recordPriority(record);
        if (priority < 0) return -1;
        message = record.message;
    } else if (!isErrorLine(message)) {
        return -1;
    }
    return XKT_handleLogMsg(item, out, priority, message, recordKind) != 0 ? -1 : 0;
}

extern "C" XKT_API int32_t XKT_handleLogMsg(const void* item, char* out, int32_t priority,
                                            const char* message, int32_t recordKind) {
    const ErrnoGuard keepErrno;
    if (item == nullptr || out == nullptr || message == nullptr) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, "XKT_handleLogMsg", "input parameter is invalid");
        return -1;
    }
    LogTime time;
    if (!readClockTime(time)) return -1;
    const auto* record = recordKind == 1 ? static_cast<const LogRecord*>(item) : nullptr;
    // A record's message is bounded by its field, a plain line by the buffer.
    const size_t messageMax = record != nullptr && message == record->message
                                  ? sizeof record->message - 1
                                  : kMessageMax;
    bool cut = false;
    char* end = composeClassicLine(out, kLineMax, priority, record,
                                   std::string_view(message, strnlen(message, messageMax)), time,
                                   cut);
    if (end[-1] != '\n') {
        *end++ = '\n';
        *end = '\0';
    }
    return 0;
}

extern "C" XKT_API int32_t XKT_errorlogFileOutput(const char* text) {
    const ErrnoGuard keepErrno;
    if (text == nullptr || text[0] == '\0') return -1;
    const uint32_t lock = errorLogLock();
    // Without the lock (never initialised, or torn down) the file is not
    // ours to touch.
    if (lock == 0 || XKT_mutex_lock(lock) != 0) return -1;
    const size_t length = std::strlen(text);
    int32_t result = -1;
    if (g_pErrorLogFileHandle == nullptr) g_pErrorLogFileHandle = openCurrentFile();
    if (g_pErrorLogFileHandle != nullptr &&
        std::fwrite(text, 1, length, g_pErrorLogFileHandle) == length) {
        g_iTmpErrorlogSize += static_cast<uint32_t>(length);
        if (g_iTmpErrorlogSize >= kRotationSize) rotate();
        result = 0;
    } else if (g_pErrorLogFileHandle != nullptr) {
        clearerr(g_pErrorLogFileHandle);  // the stream stays open for the next line
    }
    XKT_mutex_unlock(lock);
    return result;
}
