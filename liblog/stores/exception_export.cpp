// The exception log's export to flash: on the repeating timer (or a direct
// call by the middleware) the archives waiting in /tmp/DQN are copied as
// they are, oldest first, into /data/tarvek-log/exp under the exception
// store's cyclic index; /data/tombstones is then packed into one more
// archive under the next index and emptied, and the index after that is
// stored. A failing step ends the export without storing the index.
//
// Unlike the error export, this one holds the capture's lock from the
// listing to the stored index: a capture writes its loose text files and
// its archive into the very directory the export lists, copies and empties.
#include "exception_export.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "bounded_text.h"
#include "box_path.h"
#include "errno_guard.h"
#include "exception_log.h"
#include "flash_store.h"
#include "log_settings.h"
#include "mutex_guard.h"
#include "self_log.h"
#include "shell_utils.h"
#include "xkt_log.h"
#include "xkt_osal.h"

namespace xkt::log {

namespace {

constexpr const char* kTriggerFunction = "XKT_explogOutputTrigger";
constexpr size_t kFixedPathSize = 64;  // the export's own rooted paths
constexpr size_t kSourcePathSize = 128;
constexpr size_t kNameSize = 256;
constexpr size_t kCopyCommandSize = 256;
constexpr size_t kTarCommandSize = 513;

using FixedPath = BoxText<kFixedPathSize>;

// The capture's lock serialises two exports (the timer and a direct call)
// as well, once it exists. Before XKT_ExpLogInit it does not, and direct
// calls could still meet: this one keeps them apart then. Always taken
// first; a capture never takes it, so the two cannot deadlock.
LazyMutex g_exportOrder;

// XKT_getNewLogFileName gives the rooted flash path, so its 256 bytes get
// the root's room on top.
struct FlashName {
    char text[BoxText<kNameSize>::capacity()] = {};

    int32_t build(int32_t index) {
        return XKT_getNewLogFileName(text, static_cast<uint32_t>(BoxText<kNameSize>::limit() + 1),
                                     index, 1);
    }
};

// Entries of the directory that are not directories, or -1 when it cannot
// be opened. Sub-directories are packed with the rest but do not make an
// archive worth writing on their own.
int32_t countNonDirectories(const char* path) {
    DIR* dir = opendir(path);
    if (dir == nullptr) return -1;
    int32_t count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (!isDirectory(dir, *entry)) ++count;
    }
    closedir(dir);
    return count;
}

int32_t exportFailed(const char* message) { return XKT_SELF_FAIL(kTriggerFunction, "%s", message); }

// One export, from the listing to the stored index: 0 when it completed,
// -1 at the first step that failed.
int32_t runExport() {
    FixedPath temporary, list, indexFile;
    temporary.path(kExpTmpDirectory);
    list.path(kExpStore.listFile);
    indexFile.path(kExpStore.indexFile);  // empty when too long: read as missing, write fails
    if (temporary.empty() || list.empty() ||
        XKT_sortLogByTime(temporary.c_str(), list.c_str()) != 0) {
        return exportFailed("sort tmp explog failed");
    }
    int32_t index = XKT_readIndexFromFile(indexFile.c_str());
    if (index == -1) index = 0;
    if (XKT_deleteFlashLog(index, 1) != 0) return exportFailed("delete exists log failed");
    if (XKT_OutputExpLogToFlash(&index) != 0) return exportFailed("output explog to flash failed");
    // Also the archives whose name or copy failed: they are not retried.
    if (XKT_deleteAllfileofFolder(temporary.c_str()) != 0) {
        return exportFailed("delete tmp explog failed");
    }
    if (XKT_deleteFile(list.c_str()) != 0) {
        return XKT_SELF_FAIL(kTriggerFunction, "delete file %s failed", kExpStore.listFile);
    }
    if (XKT_OutputTombstonesToFlash(&index) != 0) {
        return exportFailed("output tombstones to flash failed");
    }
    if (writeIndexFile(indexFile.c_str(), index) != 0) return exportFailed("open index file error");
    return 0;
}

// Copies one listed archive under *index; the index moves only when the
// copy could be run, so a lost archive leaves no gap in the numbering.
void copyListedArchive(char* line, int32_t* index, const char* temporary) {
    constexpr const char* kFunction = "XKT_OutputExpLogToFlash";
    FlashName destination;
    if (destination.build(*index) != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "get exp log name failed");
        return;
    }
    BoxText<kSourcePathSize> source;
    if (source.format("%s/%s", temporary, withoutLineFeed(line)) != 0 ||
        XKT_copyLogFile(source.c_str(), destination.text) != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "copy explog failed");
        return;
    }
    *index = cyclicIndex(int64_t{*index} + 1, kExpStore.modulus);
}

void exportTimerFired(int32_t /*timerId*/, int32_t /*arg*/) { XKT_explogOutputTrigger(); }

}  // namespace

int32_t armExpLogExport() {
    // The id is not kept; the timer is never removed.
    return addExportTimer(exportTimerFired, "XKT_ExpLogInit") == -1 ? -1 : 0;
}

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_explogOutputTrigger(void) {
    const ErrnoGuard keepErrno;
    if (readSetting(g_iANRLogToFlashEnable) == 0) return -1;
    // On the timer's thread this waits for a running capture, which delays
    // the other timers (its collector's kill among them) until it ends; the
    // capture never waits for a timer callback, so this cannot deadlock.
    const MutexGuard exportOrder(g_exportOrder.handle());
    MutexGuard capture(__atomic_load_n(&g_pExpLogMutex, __ATOMIC_ACQUIRE));
    return runExport();
}

extern "C" XKT_API int32_t XKT_OutputExpLogToFlash(int32_t* index) {
    XKT_SELF_ENTER("XKT_OutputExpLogToFlash");
    if (index == nullptr) return XKT_SELF_FAIL(kFunction, "invalid param");
    FixedPath temporary;
    temporary.path(kExpTmpDirectory);
    return walkListFile(kExpStore.listFile, kFunction,
                        [&](char* line) { copyListedArchive(line, index, temporary.c_str()); });
}

extern "C" XKT_API int32_t XKT_OutputTombstonesToFlash(int32_t* index) {
    XKT_SELF_ENTER("XKT_OutputTombstonesToFlash");
    if (index == nullptr) return XKT_SELF_FAIL(kFunction, "invalid param");
    FixedPath tombstones;
    tombstones.path(kTombstoneDirectory);  // left empty when it does not fit: no directory
    const int32_t count = countNonDirectories(tombstones.c_str());
    if (count < 0) return XKT_SELF_FAIL(kFunction, "opendir failed");
    if (count == 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "%s is empty, no need to output",
                     kTombstoneDirectory);
        return 0;
    }
    FlashName destination;
    if (destination.build(*index) != 0) return XKT_SELF_FAIL(kFunction, "get exp log name failed");
    if (XKT_deleteLogByIndex(*index, *index, 1) != 0) {
        return XKT_SELF_FAIL(kFunction, "rm exp log failed");
    }
    // Two rooted paths: the command gets the root's room twice. The model
    // in the name comes from a property anyone may set: quoted like the rest.
    BoxText<kTarCommandSize, 2> command;
    command.command("busybox tar -czvf %s %s", {destination.text, tombstones.c_str()});
    if (runCommand(command.c_str(), ShellRoute::Runner, kFunction, "excute tar failed") < 0) {
        return -1;
    }
    *index = cyclicIndex(int64_t{*index} + 1, kExpStore.modulus);
    if (XKT_chownUserToSystem(destination.text) != 0) {
        return XKT_SELF_FAIL(kFunction, "chown user failed");
    }
    if (XKT_deleteAllfileofFolder(tombstones.c_str()) != 0) {
        return XKT_SELF_FAIL(kFunction, "rm tombstones failed");
    }
    return 0;
}

extern "C" XKT_API int32_t XKT_copyLogFile(const char* src, const char* dst) {
    XKT_SELF_ENTER("XKT_copyLogFile");
    return copyByCommand<kCopyCommandSize>("cp %s %s", src, dst, kFunction, "excute cp failed");
}
