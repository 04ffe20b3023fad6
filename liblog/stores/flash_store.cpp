// The flash log store shared by the error and the exception export: archive
// names, the index file, the time-sorted list of temporary files and the
// deletion of the archives whose index an export is about to reuse.
//
// Paths handed in by callers are machine paths already; the store's own
// fixed paths are rooted here. None of these functions takes a lock of the
// exports: the two exports touch disjoint files, and only the name caches
// are shared between them.
#include "flash_store.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "bounded_text.h"
#include "box_path.h"
#include "errno_guard.h"
#include "log_settings.h"
#include "mutex_guard.h"
#include "self_log.h"
#include "shell_utils.h"
#include "xkt_log.h"
#include "xkt_osal.h"
#include "xkt_securec.h"

namespace xkt::log {

namespace {

constexpr size_t kModelSize = 65;          // "ro.product.model" is read with this limit
constexpr size_t kMacTailAt = 6;           // the last six hex digits of "xxxxxxxxxxxx"
constexpr size_t kStorePathSize = 64;      // a rooted fixed path of the store
constexpr size_t kSortCommandSize = 256;
constexpr size_t kArchivePathSize = 128;
constexpr size_t kCopyCommandSize = 128;
constexpr std::string_view kArchiveSuffix = ".log.tar.gz";
constexpr size_t kIndexDigits = 2;

// Model and MAC field of the archive names: filled on first use, never
// refreshed. Both exports may build a name at the same moment, so the
// caches are only touched under the lock.
struct NameFields {
    LazyMutex lock;
    char mac[kMacStringSize + 1] = {};  // zero-filled: XKT_getMacString writes no terminator
    char model[kModelSize] = {};
};
NameFields g_nameFields;

// XKT_getMacString may fill g_macString; two callers must not do it at once.
LazyMutex g_macFillLock;

bool inCyclicRange(int32_t index, int32_t start, int32_t end) {
    if (start <= end) return start <= index && index <= end;
    return index >= start || index <= end;  // the range wraps past the last index
}

// The fields one name is built from, copied out of the caches.
struct NameFieldCopy {
    char macTail[kMacStringSize + 1] = {};
    char model[kModelSize] = {};
};

// Fills the caches when they are empty, then copies them: 0, or -1 with
// the failed step's message written.
int32_t loadNameFields(NameFieldCopy& copy) {
    constexpr const char* kFunction = "XKT_getNewLogFileName";
    const MutexGuard guard(g_nameFields.lock.handle());
    if (g_nameFields.mac[0] == '\0' && XKT_getMacString(g_nameFields.mac) == -1) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_INFO, kFunction, "Get mac addr failed");
        return -1;
    }
    if (g_nameFields.model[0] == '\0') {
        char value[kModelSize] = {};
        if (XKT_property_get("ro.product.model", value, sizeof value) != 0) {
            XKT_SELF_LOG(XKT_LOG_LEVEL_INFO, kFunction, "get stb model failed");
            return -1;
        }
        copyText(g_nameFields.model, value);
        // A "/" in the model would put the archive into a folder that does
        // not exist, and its temporary file would be deleted unarchived.
        std::replace(g_nameFields.model, g_nameFields.model + sizeof g_nameFields.model, '/', '_');
    }
    // A MAC text shorter than six characters leaves the field empty rather
    // than reading before it.
    copyText(copy.macTail, g_nameFields.mac + strnlen(g_nameFields.mac, kMacTailAt));
    copyText(copy.model, g_nameFields.model);
    return 0;
}

// The archive index of a name: the two characters before its last eleven
// (before ".log.tar.gz"), or what there is of them in a shorter name.
int32_t archiveIndexOf(std::string_view name) {
    const size_t suffix = kArchiveSuffix.size();
    const size_t end = name.size() > suffix ? name.size() - suffix : 0;
    const size_t start = end > kIndexDigits ? end - kIndexDigits : 0;
    return parseDecimal(name.substr(start, end - start));
}

// Cut to size - 1 characters when the buffer is short, as any bounded
// format of the library is. -1 only when the store's directory has no room.
int32_t formatArchiveName(char* out, uint32_t size, int32_t index, int32_t isExp,
                          const LogTime& now, const NameFieldCopy& fields) {
    if (size == 0) return 0;
    const char* model = fields.model;
    const char* macTail = fields.macTail;
    if (isExp == 0) {
        snprintf_s(out, size, size - 1, "Err_%s_%s_%04d%02d%02d%02d%02d%02d_%02d.log", model,
                   macTail, now.year, now.month, now.day, now.hour, now.minute, now.second, index);
        return 0;
    }
    BoxText<kStorePathSize> directory;
    if (directory.path(kExpStore.flashDirectory) != 0) return -1;
    snprintf_s(out, size, size - 1, "%s/Exp_%s_%s_%04d%02d%02d%02d%02d%02d_%02d.log.tar.gz",
               directory.c_str(), model, macTail, now.year, now.month, now.day, now.hour,
               now.minute, now.second, index);
    return 0;
}

// One entry of the flash directory: deleted when it is an archive of the
// store whose index lies in the range.
void deleteIfInRange(DIR* dir, const dirent& entry, const char* directory, int32_t start,
                     int32_t end) {
    constexpr const char* kFunction = "XKT_deleteLogByIndex";
    const std::string_view name(entry.d_name);
    if (isDirectory(dir, entry) || name.find(kArchiveSuffix) == std::string_view::npos) return;
    if (!inCyclicRange(archiveIndexOf(name), start, end)) return;
    BoxText<kArchivePathSize> path;
    if (path.format("%s/%s", directory, entry.d_name) != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "rm file %s failed", entry.d_name);
        return;
    }
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "attempt to rm file [%s]", entry.d_name);
    if (XKT_deleteFile(path.c_str()) != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "rm file %s failed", entry.d_name);
    }
}

}  // namespace

ListFile::ListFile(const char* path)
    : file_(path != nullptr ? std::fopen(path, "r") : nullptr), line_{} {}

ListFile::~ListFile() {
    if (file_ != nullptr) std::fclose(file_);
}

char* ListFile::nextLine() {
    if (file_ == nullptr) return nullptr;
    while (!std::feof(file_)) {
        std::memset(line_, 0, sizeof line_);
        if (std::fgets(line_, sizeof line_, file_) == nullptr) {
            failed_ = std::ferror(file_) != 0;
            return nullptr;
        }
        // A line that starts with a NUL byte reads as empty and is skipped.
        if (line_[0] != '\0') return line_;
    }
    return nullptr;
}

char* withoutLineFeed(char* line) {
    const size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[length - 1] = '\0';
    return line;
}

int32_t parseDecimal(std::string_view text) {
    constexpr int64_t kMagnitudeMax = int64_t{INT32_MAX} + 1;
    size_t at = text.find_first_not_of(" \t\n\v\f\r");
    if (at == std::string_view::npos) return 0;
    const bool negative = text[at] == '-';
    if (text[at] == '-' || text[at] == '+') ++at;
    int64_t magnitude = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        magnitude = magnitude * 10 + (text[at] - '0');
        if (magnitude > kMagnitudeMax) magnitude = kMagnitudeMax;  // held, never overflows
    }
    if (negative) return static_cast<int32_t>(-magnitude);
    return static_cast<int32_t>(magnitude < kMagnitudeMax ? magnitude : INT32_MAX);
}

int32_t cyclicIndex(int64_t value, int32_t modulus) {
    return static_cast<int32_t>(value % modulus);
}

bool isDirectory(DIR* dir, const dirent& entry) {
    if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_DIR;
    struct stat st {};
    return fstatat(dirfd(dir), entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(st.st_mode);
}

int32_t addExportTimer(void (*callback)(int32_t timerId, int32_t arg), const char* function) {
    const auto period = static_cast<uint32_t>(readSetting(g_iTimeIntervalForLogToFlash));
    const int32_t id = XKT_timer_add(callback, 0, period, period);
    if (id == -1) XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, function, "add timer failed");
    return id;
}

int32_t writeIndexFile(const char* path, int32_t index) {
    FILE* file = std::fopen(path, "w+");
    if (file == nullptr) return -1;
    const bool written = std::fprintf(file, "%d", index) > 0;
    return std::fclose(file) == 0 && written ? 0 : -1;
}

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_getNewLogFileName(char* out, uint32_t size, int32_t index,
                                                 int32_t isExp) {
    XKT_SELF_ENTER("XKT_getNewLogFileName");
    if (out == nullptr) return XKT_SELF_FAIL(kFunction, "invalid param");
    LogTime now{};
    if (XKT_get_Localtime(&now) != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_INFO, kFunction, "Get localtime failed");
        return -1;
    }
    NameFieldCopy fields;
    if (loadNameFields(fields) != 0) return -1;
    return formatArchiveName(out, size, index, isExp, now, fields);
}

extern "C" XKT_API int32_t XKT_getMacString(char* out) {
    const ErrnoGuard keepErrno;
    constexpr const char* kFunction = "XKT_getMacString";
    if (out == nullptr) return XKT_SELF_FAIL(kFunction, "invalid param");
    const MutexGuard guard(g_macFillLock.handle());
    if (g_macString[0] == '\0') {
        char mac[kMacStringSize] = {};
        if (XKT_sock_getMac(mac) != 0) return XKT_SELF_FAIL(kFunction, "get Mac address faild!");
        copyText(g_macString, mac);
    }
    const size_t length = strnlen(g_macString, sizeof g_macString);
    for (size_t i = 0; i < length; ++i) {
        if (g_macString[i] != ':') *out++ = g_macString[i];
    }
    return 0;
}

extern "C" XKT_API int32_t XKT_readIndexFromFile(const char* path) {
    const ErrnoGuard keepErrno;
    constexpr const char* kFunction = "XKT_readIndexFromFile";
    XKT_SELF_LOG(XKT_LOG_LEVEL_INFO, kFunction, "Enter XKT_readIndexFromFile");
    FILE* file = path != nullptr ? std::fopen(path, "r") : nullptr;
    if (file == nullptr) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "Open file failed");
        return -1;
    }
    char line[kListLineSize] = {};
    if (std::fgets(line, sizeof line, file) == nullptr) line[0] = '\0';
    std::fclose(file);
    if (line[0] == '\0') {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction,
                     "Read index from file failed, the file is empty");
        return -1;
    }
    const int32_t index = parseDecimal(line);
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "Read index from file success, the index is [%d]",
                 index);
    return index;
}

extern "C" XKT_API int32_t XKT_sortLogByTime(const char* dir, const char* listPath) {
    XKT_SELF_ENTER("XKT_sortLogByTime");
    if (dir == nullptr || listPath == nullptr) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "invalid param");
        return -1;
    }
    BoxText<kSortCommandSize, 2> command;
    command.command("busybox ls -1 -rt %s > %s", {dir, listPath});
    // The listing goes to a file through the shell; waited for by the
    // platform rather than the C library's system, so that what the command
    // says on its error output goes where the platform sends it, not onto
    // the caller's terminal.
    return runCommand(command.c_str(), ShellRoute::Waited, kFunction, "excute command failed") < 0
               ? -1
               : 0;
}

extern "C" XKT_API int32_t XKT_getTmplogNum(int32_t isExp) {
    XKT_SELF_ENTER("XKT_getTmplogNum");
    int32_t count = 0;
    if (walkListFile(flashStore(isExp).listFile, kFunction, [&count](char*) { ++count; }) != 0) {
        return -1;
    }
    return count;
}

extern "C" XKT_API int32_t XKT_deleteLogByIndex(int32_t iStartIndex, int32_t iEndIndex,
                                                int32_t isExp) {
    XKT_SELF_ENTER("XKT_deleteLogByIndex");
    BoxText<kStorePathSize> directory;
    DIR* dir = nullptr;
    if (directory.path(flashStore(isExp).flashDirectory) == 0) dir = opendir(directory.c_str());
    if (dir == nullptr) return XKT_SELF_FAIL(kFunction, "opendir failed");
    while (const dirent* entry = readdir(dir)) {
        deleteIfInRange(dir, *entry, directory.c_str(), iStartIndex, iEndIndex);
    }
    closedir(dir);
    return 0;
}

extern "C" XKT_API int32_t XKT_deleteFlashLog(int32_t iCurLogIndex, int32_t isExp) {
    const ErrnoGuard keepErrno;
    constexpr const char* kFunction = "XKT_deleteFlashLog";
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "enter XKT_deleteLogByIndex, iCurLogIndex = [%d]",
                 iCurLogIndex);
    const int32_t count = XKT_getTmplogNum(isExp);
    if (count == 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "tmp log is empty,no need to output");
        return 0;
    }
    if (count < 0) return XKT_SELF_FAIL(kFunction, "get tmp log num failed");
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "tmp log file num = [%d]", count);
    // The export writes one archive per listed name, from iCurLogIndex on.
    const int32_t endIndex =
        cyclicIndex(int64_t{iCurLogIndex} + count - 1, flashStore(isExp).modulus);
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "iStartIndex = [%d], iEndIndex = [%d]",
                 iCurLogIndex, endIndex);
    if (XKT_deleteLogByIndex(iCurLogIndex, endIndex, isExp) != 0) {
        return XKT_SELF_FAIL(kFunction, "delete log by index failed");
    }
    return 0;
}

extern "C" XKT_API int32_t XKT_copyFile(const char* src, const char* dst) {
    XKT_SELF_ENTER("XKT_copyFile");
    return copyByCommand<kCopyCommandSize>("busybox cp %s %s", src, dst, kFunction, "Excute %s failed");
}
