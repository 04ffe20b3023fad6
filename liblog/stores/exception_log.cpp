// The exception log's capture: when the middleware reports an ANR or an
// abnormal reboot, a snapshot of the box goes into /tmp/DQN as one archive
// (the Android log as a logcat collector writes it, the busiest threads,
// the memory statistics and, for an ANR, the Android trace file). The paths
// of the ANR archives wait in a small ring until the middleware takes them.
//
// A capture holds g_pExpLogMutex from its first to its last step, so two
// captures run one after the other and the export never lists a half-made
// snapshot. The logcat collector outlives the capture: a single-run timer
// kills it 4 s after it started.
#include "exception_log.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "box_path.h"
#include "errno_guard.h"
#include "flash_store.h"
#include "mutex_guard.h"
#include "self_log.h"
#include "shell_utils.h"
#include "xkt_log.h"
#include "xkt_osal.h"
#include "xkt_securec.h"

extern "C" {
XKT_API uint32_t g_pExpLogMutex = 0;
XKT_API int32_t g_iExpLogStatus = 0;
XKT_API int32_t g_LogAutoExpID = -1;
}

namespace xkt::log {

namespace {

constexpr const char* kUploadDirectory = "/tmp/logforupload";
constexpr const char* kTopFile = "/tmp/DQN/top.txt";
constexpr const char* kMeminfoFile = "/tmp/DQN/meminfo.txt";
constexpr const char* kTracesFile = "/data/anr/traces.txt";
constexpr uint32_t kCollectorLifetimeMs = 4000;
constexpr int32_t kPruneThreshold = 10;
constexpr size_t kPruneLineSize = 64;

// What depends on the kind of capture: 0 is an ANR, anything else an
// abnormal reboot.
struct CaptureKind {
    const char* logcatFile;
    const char* topCommand;
    const char* archivePrefix;
    bool packTraces;
    bool recordPath;  // in the ANR log name buffer
};
constexpr CaptureKind kAnrCapture{"/tmp/DQN/anr.txt", "top -m 10 -t -n 2 -s cpu", "APK_ANR", true,
                                  true};
constexpr CaptureKind kRebootCapture{"/tmp/DQN/abnomalreboot.txt", "top -m 30 -t -n 2 -s cpu",
                                     "SYS_ABN", false, false};

constexpr const CaptureKind& captureKind(int32_t iLogType) {
    return iLogType == 0 ? kAnrCapture : kRebootCapture;
}

// ---- The ANR log name buffer (g_pExpLogMutex held) --------------------------

constexpr int32_t kRingSlots = 4;  // holds three: full when write + 1 == read
constexpr size_t kRingSlotSize = 256;
std::array<std::array<char, kRingSlotSize>, kRingSlots> g_anrLogNames{};
int32_t g_anrLogNameRead = 0;
int32_t g_anrLogNameWrite = 0;

int32_t nextSlot(int32_t slot) { return (slot + 1) % kRingSlots; }

uint32_t expLogLock() { return __atomic_load_n(&g_pExpLogMutex, __ATOMIC_ACQUIRE); }

// ---- Capture steps ----------------------------------------------------------

template <size_t N>
int32_t rooted(BoxText<N>& text, const char* boxPath, const char* function) {
    return text.path(boxPath) == 0 ? 0 : XKT_SELF_FAIL(function, "path too long");
}

// ---- Collectors still running ---------------------------------------------

// The collectors started and not yet stopped, so that XKT_logDeinit can end
// them rather than leave them to a timer that may never fire. A collector
// that finds no free place is still ended with its process by the platform.
struct RunningCollectors {
    LazyMutex lock;
    std::array<int32_t, 16> ids{};  // 0: a free place
};
RunningCollectors g_collectors;

void setCollectorRunning(int32_t id, bool running) {
    const MutexGuard guard(g_collectors.lock.handle());
    for (int32_t& place : g_collectors.ids) {
        if (place == (running ? 0 : id)) {
            place = running ? id : 0;
            return;
        }
    }
}

// The file of a collector that was stopped: an ANR's if there is one.
int32_t handOverCollectorFile() {
    for (const CaptureKind* kind : {&kAnrCapture, &kRebootCapture}) {
        BoxText<64> file;
        if (file.path(kind->logcatFile) != 0 || access(file.c_str(), F_OK) != 0) continue;
        if (XKT_chownUserToSystem(file.c_str()) != 0) {
            XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, "XKT_stopCollectLog", "chown user failed");
        }
        return 0;
    }
    return 0;
}

// Runs a command that writes into a file of the collection directory and
// waits for it. Through the platform's runner rather than the C library's
// system: on a development machine the box's top is a stand-in that only
// the runner's PATH finds.
int32_t runIntoFile(const char* program, const char* boxFile, const char* function) {
    BoxText<256> file;
    BoxText<256> line;
    if (rooted(file, boxFile, function) != 0) return -1;
    if (line.format("%s > ", program) != 0 || line.appendWord(file.view()) != 0) {
        return XKT_SELF_FAIL(function, "path too long");
    }
    return runCommand(line.c_str(), ShellRoute::Waited, function, "system failed") < 0 ? -1 : 0;
}

// Names up to five rooted paths: the archive and what goes into it.
using CaptureTarCommand = BoxText<256, 5>;

int32_t buildTarCommand(CaptureTarCommand& command, const CaptureKind& kind, const char* archive) {
    constexpr const char* kFunction = "XKT_compressExpLog";
    BoxText<64> logcatFile, topFile, meminfoFile, tracesFile;
    if (rooted(logcatFile, kind.logcatFile, kFunction) != 0 ||
        rooted(topFile, kTopFile, kFunction) != 0 ||
        rooted(meminfoFile, kMeminfoFile, kFunction) != 0 ||
        rooted(tracesFile, kTracesFile, kFunction) != 0) {
        return -1;
    }
    const int32_t rc =
        kind.packTraces
            ? command.command("busybox tar -czvf %s %s %s %s %s",
                              {archive, logcatFile.view(), topFile.view(), meminfoFile.view(),
                               tracesFile.view()})
            : command.command("busybox tar -czvf %s %s %s %s",
                              {archive, logcatFile.view(), topFile.view(), meminfoFile.view()});
    return rc != 0 ? XKT_SELF_FAIL(kFunction, "path too long") : 0;
}

// The oldest entry the listing names (first line, cut to 63 characters),
// and how many entries it names. -1 when the list cannot be read.
int32_t readPruneList(const char* listPath, char (&oldest)[kPruneLineSize], int32_t& count) {
    constexpr const char* kFunction = "XKT_deleteEarlistTmpExpLog";
    FILE* list = std::fopen(listPath, "re");
    if (list == nullptr) return XKT_SELF_FAIL(kFunction, "fopen failed");
    if (fileno(list) < 0) {
        std::fclose(list);
        return XKT_SELF_FAIL(kFunction, "fileno failed");
    }
    count = 0;
    char line[kPruneLineSize];
    while (!std::feof(list)) {
        std::memset(line, 0, sizeof line);
        if (std::fgets(line, sizeof line, list) == nullptr) {
            if (std::ferror(list) == 0) break;
            std::fclose(list);
            return XKT_SELF_FAIL(kFunction, "fgets failed");
        }
        if (line[0] == '\0') continue;
        if (count++ == 0) std::memcpy(oldest, line, sizeof line);
    }
    std::fclose(list);
    return 0;
}

int32_t deleteOldestEntry(const char* directory, char* name) {
    constexpr const char* kFunction = "XKT_deleteEarlistTmpExpLog";
    const size_t length = std::strlen(name);
    if (length > 0 && name[length - 1] == '\n') name[length - 1] = '\0';
    BoxText<128> path;
    if (path.format("%s/%s", directory, name) != 0) {
        return XKT_SELF_FAIL(kFunction, "delete file %s failed", name);
    }
    XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "attempt to delete file [%s]",
                 boxPathOf(path.c_str()));
    if (XKT_deleteFile(path.c_str()) != 0) {
        return XKT_SELF_FAIL(kFunction, "delete file %s failed", boxPathOf(path.c_str()));
    }
    return 0;
}

// ---- Initialisation -----------------------------------------------------------

int32_t recreateCollectionDirectory() {
    constexpr const char* kFunction = "XKT_ExpLogInit";
    BoxText<128> directory;
    BoxText<128> command;
    if (rooted(directory, kExpTmpDirectory, kFunction) != 0 ||
        command.command("busybox rm -rf %s", {directory.view()}) != 0) {
        return XKT_SELF_FAIL(kFunction, "path too long");
    }
    if (XKT_actShellCmd(command.c_str()) < 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "rm %s failed", kExpTmpDirectory);
    }
    makeMissingParents(directory);
    if (mkdir(directory.c_str(), 0700) != 0 || chmod(directory.c_str(), 0700) != 0) {
        return XKT_SELF_FAIL(kFunction, "mkdir failed");
    }
    return 0;
}

int32_t ensureDirectory(const char* boxPath) {
    constexpr const char* kFunction = "XKT_ExpLogInit";
    BoxText<128> directory;
    if (rooted(directory, boxPath, kFunction) != 0) return -1;
    if (access(directory.c_str(), F_OK) == 0) return 0;
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "%s is not exist, need create it", boxPath);
    if (XKT_createFolder(directory.c_str()) == -1) {
        return XKT_SELF_FAIL(kFunction, "create %s failed", boxPath);
    }
    return 0;
}

// A second initialisation keeps the lock it made before.
int32_t prepareLock() {
    if (expLogLock() != 0) return 0;
    const uint32_t lock = XKT_mutex_create();
    if (lock == 0) return -1;
    __atomic_store_n(&g_pExpLogMutex, lock, __ATOMIC_RELEASE);
    return 0;
}

// The logcat collector and the timer that stops it. A collector whose timer
// cannot be added is stopped at once. 0, or -1 (reported).
int32_t startCollector(int32_t iLogType) {
    constexpr const char* kFunction = "XKT_expLogToTmp";
    const int32_t collector = XKT_startCollectLog(iLogType);
    if (collector == -1) return XKT_SELF_FAIL(kFunction, "excute logcat failed");
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "iExpLogcatID=[%d]", static_cast<int>(collector));
    if (XKT_timer_add(XKT_expLogOutputTimer, collector, kCollectorLifetimeMs, 0) == -1) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "add timer failed");
        if (XKT_stopCollectLog(collector) != 0) {
            XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "stop logcat failed");
        }
        return -1;
    }
    return 0;
}

// One capture, from the pruning to the removal of the loose text files, with
// the lock held. 0 when the archive was made.
int32_t captureLocked(int32_t iLogType) {
    constexpr const char* kFunction = "XKT_expLogToTmp";
    if (XKT_deleteEarlistTmpExpLog() != 0) {
        return XKT_SELF_FAIL(kFunction, "delete earlist exp log failed");
    }
    int32_t result = -1;
    if (startCollector(iLogType) != 0) {
        // reported
    } else if (XKT_collectTopinfo(iLogType) != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "collect top info failed");
    } else if (XKT_collectMemoryinfo(iLogType) != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "collect memory info failed");
    } else if (XKT_compressExpLog(iLogType) != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "compress exp log failed");
    } else {
        result = 0;
    }
    // Whatever happened after the pruning, no loose text file stays.
    if (XKT_deleteTmpExpFile() != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "delet tmp exp log file failed");
        result = -1;
    }
    return result;
}

}  // namespace

void stopCollectors() {
    std::array<int32_t, 16> running{};
    {
        const MutexGuard guard(g_collectors.lock.handle());
        running = g_collectors.ids;
    }
    for (int32_t id : running) {
        if (id != 0) XKT_stopCollectLog(id);
    }
}

}  // namespace xkt::log

using namespace xkt::log;

int32_t xkt::log::prepareExpLogCapture() {
    constexpr const char* kFunction = "XKT_ExpLogInit";
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "enter XKT_ExpLogInit");
    if (recreateCollectionDirectory() != 0 || ensureDirectory(kExpStore.flashDirectory) != 0 ||
        ensureDirectory(kUploadDirectory) != 0) {
        return -1;
    }
    if (prepareLock() != 0) return XKT_SELF_FAIL(kFunction, "create mutex failed");
    XKT_anrLogNameBufClear();
    return 0;
}

extern "C" XKT_API int32_t XKT_expLogToTmp(int32_t iLogType) {
    const ErrnoGuard keepErrno;
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, "XKT_expLogToTmp", "enter XKT_expLogToTmp, iLogType=[%d]",
                 static_cast<int>(iLogType));
    const uint32_t lock = expLogLock();
    if (lock == 0 || XKT_mutex_lock(lock) != 0) return -1;  // never initialised
    const int32_t result = captureLocked(iLogType);
    XKT_mutex_unlock(lock);
    return result;
}

extern "C" XKT_API int32_t XKT_startCollectLog(int32_t iLogType) {
    XKT_SELF_ENTER("XKT_startCollectLog");
    BoxText<256> file;
    BoxText<256> command;
    if (rooted(file, captureKind(iLogType).logcatFile, kFunction) != 0) return -1;
    command.command("logcat -v threadtime -f %s", {file.view()});
    const int32_t collector =
        runCommand(command.c_str(), ShellRoute::Runner, kFunction, "XKT_actShellCmd faild");
    if (collector < 0) return -1;
    setCollectorRunning(collector, true);
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "new logcat id is %d", static_cast<int>(collector));
    return collector;
}

extern "C" XKT_API int32_t XKT_stopCollectLog(int32_t iLogcatID) {
    const ErrnoGuard keepErrno;
    constexpr const char* kFunction = "XKT_stopCollectLog";
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "enter XKT_stopCollectLog, iLogcatID=[%d]",
                 static_cast<int>(iLogcatID));
    // kill -9 with 0 or -1 would hit the caller's process group or every
    // process there is: only a real collector's id is passed on.
    BoxText<256> command;
    if (iLogcatID <= 1 || command.format("busybox kill -9 %d", static_cast<int>(iLogcatID)) != 0 ||
        XKT_actShellCmd(command.c_str()) < 0) {
        return XKT_SELF_FAIL(kFunction, "XKT_actShellCmd faild");
    }
    setCollectorRunning(iLogcatID, false);
    return handOverCollectorFile();
}

extern "C" XKT_API void XKT_expLogOutputTimer(int32_t /*ignored*/, int32_t iArg) {
    constexpr const char* kFunction = "XKT_expLogOutputTimer";
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "enter XKT_expLogOutputTimer, iArg=[%d]",
                 static_cast<int>(iArg));
    if (XKT_stopCollectLog(iArg) != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "stop logcat failed");
    }
}

extern "C" XKT_API int32_t XKT_collectTopinfo(int32_t iLogType) {
    XKT_SELF_ENTER("XKT_collectTopinfo");
    return runIntoFile(captureKind(iLogType).topCommand, kTopFile, kFunction);
}

extern "C" XKT_API int32_t XKT_collectMemoryinfo(int32_t /*iLogType*/) {
    XKT_SELF_ENTER("XKT_collectMemoryinfo");
    return runIntoFile("cat /proc/meminfo", kMeminfoFile, kFunction);
}

extern "C" XKT_API int32_t XKT_compressExpLog(int32_t iLogType) {
    XKT_SELF_ENTER("XKT_compressExpLog");
    LogTime now{};
    if (XKT_get_Localtime(&now) != 0) return XKT_SELF_FAIL(kFunction, "Get localtime failed");
    const CaptureKind& kind = captureKind(iLogType);
    BoxText<64> directory;
    BoxText<64> archive;
    if (rooted(directory, kExpTmpDirectory, kFunction) != 0) return -1;
    if (archive.format("%s/%s_%04d%02d%02d%02d%02d%02d.tar.gz", directory.c_str(),
                       kind.archivePrefix, now.year, now.month, now.day, now.hour, now.minute,
                       now.second) != 0) {
        return XKT_SELF_FAIL(kFunction, "path too long");
    }
    CaptureTarCommand command;
    if (buildTarCommand(command, kind, archive.c_str()) != 0) return -1;
    if (runCommand(command.c_str(), ShellRoute::Runner, kFunction, "excute tar failed") < 0) {
        return -1;
    }
    if (XKT_chownUserToSystem(archive.c_str()) != 0) {
        return XKT_SELF_FAIL(kFunction, "chown user failed");
    }
    // A full ring is no failure: the path is simply not recorded.
    if (kind.recordPath &&
        XKT_anrLogNameBufSet(archive.c_str(), static_cast<int32_t>(archive.view().size())) == -1) {
        return XKT_SELF_FAIL(kFunction, "set anrlog path name buffer error");
    }
    return 0;
}

extern "C" XKT_API int32_t XKT_deleteEarlistTmpExpLog(void) {
    XKT_SELF_ENTER("XKT_deleteEarlistTmpExpLog");
    BoxText<256> directory, list;
    BoxText<256, 2> command;
    if (rooted(directory, kExpTmpDirectory, kFunction) != 0 ||
        rooted(list, kExpStore.listFile, kFunction) != 0) {
        return -1;
    }
    // Waited for by the platform rather than the C library's system: what
    // ls says on its error output goes where the platform sends it.
    command.command("busybox ls -1 -rt %s > %s", {directory.view(), list.view()});
    if (runCommand(command.c_str(), ShellRoute::Waited, kFunction, "excute command failed") < 0) {
        return -1;
    }
    char oldest[kPruneLineSize] = {};
    int32_t count = 0;
    if (readPruneList(list.c_str(), oldest, count) != 0) return -1;
    if (count < kPruneThreshold || oldest[0] == '\0') {
        XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "no need to delete tmp exp log file");
        return 0;
    }
    if (deleteOldestEntry(directory.c_str(), oldest) != 0) return -1;
    if (XKT_deleteFile(list.c_str()) != 0) {
        return XKT_SELF_FAIL(kFunction, "delete file %s failed", kExpStore.listFile);
    }
    return 0;
}

extern "C" XKT_API int32_t XKT_deleteTmpExpFile(void) {
    XKT_SELF_ENTER("XKT_deleteTmpExpFile");
    BoxText<256> directory, command;
    if (rooted(directory, kExpTmpDirectory, kFunction) != 0) return -1;
    command.command("busybox find %s -name \"*.txt\" -exec busybox rm -rf {} \\;",
                    {directory.view()});
    return runCommand(command.c_str(), ShellRoute::Runner, kFunction, "excute rm failed") < 0 ? -1
                                                                                             : 0;
}

extern "C" XKT_API int32_t XKT_anrLogNameBufClear(void) {
    const ErrnoGuard keepErrno;
    const uint32_t lock = expLogLock();
    if (lock == 0) return -1;  // never initialised
    MutexGuard guard(lock);
    for (auto& slot : g_anrLogNames) slot.fill('\0');
    g_anrLogNameRead = 0;
    g_anrLogNameWrite = 0;
    return 0;
}

extern "C" XKT_API int32_t XKT_anrLogNameBufSet(const char* path, int32_t length) {
    const ErrnoGuard keepErrno;
    constexpr const char* kFunction = "XKT_anrLogNameBufSet";
    // The length serves this test only; the copy is bounded by the slot.
    if (path == nullptr || length > static_cast<int32_t>(kRingSlotSize - 1)) {
        return XKT_SELF_FAIL(kFunction, "param error");
    }
    if (nextSlot(g_anrLogNameWrite) == g_anrLogNameRead) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_INFO, kFunction, "Log name buffer is full.");
        return 0;
    }
    auto& slot = g_anrLogNames[static_cast<size_t>(g_anrLogNameWrite)];
    slot.fill('\0');
    strncpy_s(slot.data(), slot.size(), path, slot.size() - 1);
    g_anrLogNameWrite = nextSlot(g_anrLogNameWrite);
    return 1;
}

extern "C" XKT_API int32_t XKT_anrLogNameBufGet(char* buffer, int32_t size) {
    const ErrnoGuard keepErrno;
    constexpr const char* kFunction = "XKT_anrLogNameBufGet";
    const uint32_t lock = expLogLock();
    if (buffer == nullptr || size <= 0 || lock == 0) return XKT_SELF_FAIL(kFunction, "param error");
    MutexGuard guard(lock);
    if (g_anrLogNameRead == g_anrLogNameWrite) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_INFO, kFunction, "Log name buffer is empty.");
        return 0;
    }
    auto& slot = g_anrLogNames[static_cast<size_t>(g_anrLogNameRead)];
    // Cut to the caller's buffer; the path leaves the ring all the same.
    strncpy_s(buffer, static_cast<size_t>(size), slot.data(), static_cast<size_t>(size) - 1);
    slot.fill('\0');
    g_anrLogNameRead = nextSlot(g_anrLogNameRead);
    return 1;
}
