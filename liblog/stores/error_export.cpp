// The error log's export to flash: on the repeating timer (or a direct call
// by the host) every temporary file of /tmp/errorlog, oldest first, goes
// into its own gzip tar archive under /data/tarvek-log/Error, numbered by
// the error store's cyclic index; then the temporary files are deleted.
//
// Packing runs without the error log's lock, so capture goes on meanwhile;
// only the final close-and-delete holds it. A failure before that leaves
// the temporary files for the next period.
#include "error_export.h"

#include <cstdio>

#include "box_path.h"
#include "errno_guard.h"
#include "error_log.h"
#include "flash_store.h"
#include "log_settings.h"
#include "mutex_guard.h"
#include "self_log.h"
#include "shell_utils.h"
#include "xkt_log.h"
#include "xkt_osal.h"

extern "C" {
XKT_API int32_t g_iErrorLogStatus = 0;
XKT_API int32_t g_LogOutputTimerID = -1;
}

namespace xkt::log {

namespace {

constexpr const char* kTriggerFunction = "XKT_errorlogOutputTrigger";
constexpr size_t kFixedPathSize = 64;      // the store's own rooted paths
constexpr size_t kNameSize = 256;
constexpr size_t kFlashPathSize = 513;
constexpr size_t kArchivePathSize = 544;
constexpr size_t kTarCommandSize = 1024;
constexpr size_t kCleanupCommandSize = 256;

using FixedPath = BoxText<kFixedPathSize>;

// Whatever way an export ends after it won the state, the next one may run.
class ExportState {
public:
    ~ExportState() { __atomic_store_n(&g_iErrorLogStatus, 0, __ATOMIC_RELEASE); }
};

// The test for 1 and the setting to 1 are one step: of two triggers that
// arrive together exactly one runs.
bool claimExport() {
    int32_t idle = 0;
    return __atomic_compare_exchange_n(&g_iErrorLogStatus, &idle, 1, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
}

void exportTimerFired(int32_t /*timerId*/, int32_t /*arg*/) { XKT_errorlogOutputTrigger(); }

// Closes and deletes the temporary files under the capture's lock, so that
// no line is written between closing the current file and deleting it.
int32_t deleteTemporaryFiles(const char* directory) {
    MutexGuard guard(__atomic_load_n(&g_pErrorLogMutex, __ATOMIC_ACQUIRE));
    closeErrorLogFile();
    BoxText<kCleanupCommandSize> command;
    command.command("busybox find %s -name \"*.log\" -exec busybox rm -rf {} \\;", {directory});
    if (command.empty() || XKT_actShellCmd(command.c_str()) < 0) {
        return XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kTriggerFunction, "rm tmp errorlog failed");
    }
    return 0;
}

// One export, from the listing to the emptied temporary directory, once
// this export owns the state. The value is 0 after a completed export,
// otherwise that of the last message written.
int32_t runExport() {
    FixedPath temporary, list, indexFile;
    temporary.path(kErrorLogDirectory);
    list.path(kErrorStore.listFile);
    indexFile.path(kErrorStore.indexFile);
    if (temporary.empty() || list.empty() ||
        XKT_sortLogByTime(temporary.c_str(), list.c_str()) != 0) {
        return XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kTriggerFunction, "sort tmp errorlog failed");
    }
    int32_t index = XKT_readIndexFromFile(indexFile.c_str());
    if (index == -1) index = 0;
    if (XKT_deleteFlashLog(index, 0) != 0) {
        return XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kTriggerFunction, "delete exists log failed");
    }
    if (XKT_OutputErrLogToFlash(&index) != 0) {
        return XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kTriggerFunction, "ouput errorlog to flash failed");
    }
    if (writeIndexFile(indexFile.c_str(), index) != 0) {
        return XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kTriggerFunction, "open index file error");
    }
    if (XKT_deleteFile(list.c_str()) != 0) {
        return XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kTriggerFunction, "delete file %s failed",
                            kErrorStore.listFile);
    }
    return deleteTemporaryFiles(temporary.c_str());
}

// Packs one listed name under *index. The index is used up whether or not
// the archive could be made, so the store's numbering stays as the count
// of XKT_deleteFlashLog expected it.
void packListedFile(char* line, int32_t* index, const char* flashDirectory,
                    const char* temporary) {
    constexpr const char* kFunction = "XKT_OutputErrLogToFlash";
    const char* name = withoutLineFeed(line);
    char archiveName[kNameSize] = {};
    if (XKT_getNewLogFileName(archiveName, sizeof archiveName, *index, 0) != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "get error log name failed");
        return;
    }
    BoxText<kFlashPathSize> flashPath;
    BoxText<kArchivePathSize> archive;
    if (flashPath.format("%s/%s", flashDirectory, archiveName) != 0 ||
        archive.format("%s.tar.gz", flashPath.c_str()) != 0 ||
        XKT_compressErrorLogToFlash(archive.c_str(), temporary, name) != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "compress error log failed");
    }
    *index = cyclicIndex(int64_t{*index} + 1, kErrorStore.modulus);
}

}  // namespace

int32_t armErrorLogExport() {
    const int32_t id = addExportTimer(exportTimerFired, "XTK_ErrorLogInit");
    __atomic_store_n(&g_LogOutputTimerID, id, __ATOMIC_RELEASE);
    return id == -1 ? -1 : 0;
}

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_errorlogOutputTrigger(void) {
    const ErrnoGuard keepErrno;
    if (readSetting(g_iErrorLogToFlashEnable) == 0) {
        return XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kTriggerFunction,
                            "g_iErrorLogToFlashEnable is off, can not output error log to flash");
    }
    if (!claimExport()) {
        return XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kTriggerFunction,
                            "Now is output error log, can not output again");
    }
    ExportState state;
    return runExport();
}

extern "C" XKT_API int32_t XKT_OutputErrLogToFlash(int32_t* index) {
    XKT_SELF_ENTER("XKT_OutputErrLogToFlash");
    if (index == nullptr) return XKT_SELF_FAIL(kFunction, "invalid param");
    FixedPath flashDirectory, temporary;
    flashDirectory.path(kErrorStore.flashDirectory);
    temporary.path(kErrorLogDirectory);
    return walkListFile(kErrorStore.listFile, kFunction, [&](char* line) {
        packListedFile(line, index, flashDirectory.c_str(), temporary.c_str());
    });
}

extern "C" XKT_API int32_t XKT_compressErrorLogToFlash(const char* archive, const char* dir,
                                                       const char* name) {
    XKT_SELF_ENTER("XKT_compressErrorLogToFlash");
    if (archive == nullptr || dir == nullptr || name == nullptr) {
        return XKT_SELF_FAIL(kFunction, "invalid param");
    }
    BoxText<kTarCommandSize, 2> command;
    command.command("busybox tar -czvf %s -C %s %s", {archive, dir, name});
    if (runCommand(command.c_str(), ShellRoute::Runner, kFunction, "Excute [%s] faild") < 0) {
        return -1;
    }
    return XKT_chownUserToSystem(archive) != 0 ? XKT_SELF_FAIL(kFunction, "chown user failed") : 0;
}
