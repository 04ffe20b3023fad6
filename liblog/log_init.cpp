// Initialisation, the host's parameter block and the exported settings.
//
// The first process whose XKT_logInit finds the takeover property not yet
// "1" becomes the managing process; every other only takes over the
// parameters. Two processes starting at the same moment can both pass the
// guard before either has set the property and then both manage: the
// property is the only coordination between processes, and the box starts
// its processes so that this does not happen. Nothing here prevents it.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "box_path.h"
#include "capture_ring.h"
#include "channel_table.h"
#include "diagnostic_stores.h"
#include "errno_guard.h"
#include "error_log.h"
#include "exception_log.h"
#include "log_filter.h"
#include "log_model.h"
#include "log_settings.h"
#include "mutex_guard.h"
#include "self_log.h"
#include "xkt_log.h"
#include "xkt_osal.h"
#include "xkt_utility.h"

namespace xkt::log {

namespace {

constexpr const char* kLogDirectory = "/tmp/log";
constexpr const char* kFlashLogDirectory = "/data/tarvek-log";
constexpr int32_t kMinIntervalMs = 3600000;   // 1 hour
constexpr int32_t kMaxIntervalMs = 86400000;  // 24 hours
constexpr int32_t kDefaultIntervalMs = 7200000;

// Serialises XKT_logInit within the process; 0 while none exists.
std::atomic<uint32_t> g_logInitMutex{0};

// The init lock this thread holds inside XKT_logInit. A clean-up that runs
// on this thread meanwhile (a failed initialisation) must not destroy a
// lock that is held; it leaves the destruction to XKT_logInit's unlock.
thread_local uint32_t t_heldInitLock = 0;
thread_local bool t_destroyHeldInitLock = false;

// The box multiplies in 32 bits, so a number of seconds whose product wraps
// is judged by the wrapped value.
int32_t flashIntervalMs(int32_t seconds) {
    const auto product = static_cast<int32_t>(static_cast<uint32_t>(seconds) * 1000u);
    return product >= kMinIntervalMs && product <= kMaxIntervalMs ? product : kDefaultIntervalMs;
}

// The existing init lock, or a new one. Two first callers may race here
// (the box does not guard it); the loser's lock is dropped, not leaked.
uint32_t initLock() { return mutexMadeOnce(g_logInitMutex); }

// Locks the init lock; a handle destroyed by a concurrent XKT_logDeinit
// after it was read is replaced. 0 when no lock can be had.
uint32_t lockInit() {
    constexpr int kAttempts = 3;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        uint32_t lock = initLock();
        if (lock == 0) return 0;
        if (XKT_mutex_lock(lock) == 0) return lock;
        g_logInitMutex.compare_exchange_strong(lock, 0, std::memory_order_acq_rel);
    }
    return 0;
}

// A managing process that cannot work says why and fails, rather than
// claiming a management that nothing behind it can do. The reason also goes
// to standard error: the Android log may be the very thing that failed.
[[gnu::format(printf, 1, 2)]] int32_t initFailed(const char* format, ...) {
    char reason[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
    XKT_STARTUP_LOG("%s", reason);
    std::fputs(reason, stderr);
    return -1;
}

bool takeoverDone() {
    char value[8] = {};
    return XKT_property_get(kTakeoverProperty, value, sizeof value) == 0 &&
           std::strcmp(value, "1") == 0;
}

// A fresh, empty local log directory. -1 only when its rooted path (or the
// command naming it) does not fit, refused rather than cut; a failed mkdir
// is reported and initialisation goes on without the local file.
int32_t recreateLogDirectory() {
    BoxText<256> dir;
    BoxText<256> command;
    if (dir.path(kLogDirectory) != 0 || command.command("rm -rf %s", {dir.view()}) != 0) {
        XKT_STARTUP_LOG("Log:path too long, dir:%s\n", kLogDirectory);
        return -1;
    }
    XKT_system(command.c_str());
    makeMissingParents(dir);
    if (mkdir(dir.c_str(), 0755) != 0) XKT_STARTUP_LOG("Log:mkdir failed, dir:%s\n", kLogDirectory);
    return 0;
}

// The flash store belongs to the system user; the commands' results are
// ignored, the folder may not exist yet.
void handFlashStoreToSystem() {
    BoxText<128> dir;
    BoxText<128> command;
    if (dir.path(kFlashLogDirectory) != 0) return;
    for (const char* format : {"busybox chown -R 1000:1000 %s", "chmod -R 700 %s"}) {
        if (command.command(format, {dir.view()}) == 0) XKT_actShellCmd(command.c_str());
    }
}

}  // namespace

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_logInit(int32_t reserved, LogLevel level, LogType type,
                                       const char* modules, const LogParam* param) {
    const ErrnoGuard keepErrno;
    // Without the lock nothing is serialised, so nothing is done at all.
    const uint32_t lock = lockInit();
    if (lock == 0) return -1;
    t_heldInitLock = lock;
    XKT_logParamInit(param);
    const int32_t result = XKT_logInitImp(reserved, level, type, modules);
    t_heldInitLock = 0;
    XKT_mutex_unlock(lock);
    if (t_destroyHeldInitLock) {
        t_destroyHeldInitLock = false;
        XKT_mutex_destroy(lock);
    }
    return result;
}

extern "C" XKT_API void XKT_logParamInit(const LogParam* param) {
    const ErrnoGuard keepErrno;
    if (param == nullptr || param->pUseHttpsSyslog == nullptr) return;
    g_iUseHttpsSyslog.store(*param->pUseHttpsSyslog, std::memory_order_relaxed);
    // The remaining fields must be valid too; a null one is skipped rather
    // than read.
    if (param->pTimeInterval != nullptr) {
        writeSetting(g_iTimeIntervalForLogToFlash, flashIntervalMs(*param->pTimeInterval));
    }
    if (param->pErrorLogToFlashEnable != nullptr) {
        writeSetting(g_iErrorLogToFlashEnable, *param->pErrorLogToFlashEnable);
    }
    if (param->pANRLogToFlashEnable != nullptr) {
        writeSetting(g_iANRLogToFlashEnable, *param->pANRLogToFlashEnable);
    }
    XKT_STARTUP_LOG("XKT_logParamInit: g_iUseHttpsSyslog=[%d]",
                 static_cast<int>(g_iUseHttpsSyslog.load(std::memory_order_relaxed)));
    XKT_STARTUP_LOG("XKT_logParamInit: g_iTimeIntervalForLogToFlash=[%d]",
                 static_cast<int>(readSetting(g_iTimeIntervalForLogToFlash)));
    XKT_STARTUP_LOG("XKT_logParamInit: g_iErrorLogToFlashEnable=[%d]",
                 static_cast<int>(readSetting(g_iErrorLogToFlashEnable)));
    XKT_STARTUP_LOG("XKT_logParamInit: g_iANRLogToFlashEnable=[%d]",
                 static_cast<int>(readSetting(g_iANRLogToFlashEnable)));
}

extern "C" XKT_API int32_t XKT_logInitImp(int32_t reserved, LogLevel level, LogType type,
                                          const char* modules) {
    const ErrnoGuard keepErrno;
    (void)reserved;
    const int logWritten = XKT_STARTUP_LOG("LOG:Enter XKT_logInitImp\n");
    if (takeoverDone()) {
        XKT_STARTUP_LOG("Log:android XKT_logInit already inited...\n");
        return 0;
    }
    // Without the Android log nothing written here would ever be read back.
    if (logWritten < 0) {
        return initFailed("Log:write android log failed: %s\n", std::strerror(-logWritten));
    }
    if (recreateLogDirectory() != 0) {
        return initFailed("Log:path too long, dir:%s\n", kLogDirectory);
    }
    if (XKT_sock_getMac(g_macString) != 0) return initFailed("Log:get mac address failed\n");
    // A lock left by an earlier, half finished initialisation is reused.
    if (g_logFileMutex.load(std::memory_order_acquire) == 0) {
        const uint32_t fileLock = XKT_mutex_create();
        if (fileLock == 0) {
            XKT_logDeinit();
            return initFailed("Log:create file mutex failed\n");
        }
        g_logFileMutex.store(fileLock, std::memory_order_release);
    }
    g_logConfig.inited.store(1, std::memory_order_relaxed);
    if (char* direct = XKT_GetEnvStr("DIRECTOUTPUTLOG")) {
        g_iDirectOutputLog.store(1, std::memory_order_relaxed);
        XKT_free(direct);
    }
    XKT_logFilterSetLevel(level);
    XKT_logFilterSetType(type);
    // A property store that takes no write would leave every process
    // dropping every message: found out here, before anything is started.
    if (setModuleFilter(modules) != 0) {
        return initFailed("Log:set android property xkt.log.modules failed\n");
    }
    clearChannels();
    XKT_checkStatus();
    // A store that fails leaves management to a later process: no channels,
    // no log thread, no takeover.
    if (startDiagnosticStores() != 0) return initFailed("Log:diagnostic stores failed to start\n");
    handFlashStoreToSystem();
    XKT_logRegCallback(kDefaultChannel, XKT_logDefFormatter, XKT_logDefOutput);
    XKT_logRegCallback(kLocalFileChannel, XKT_SyslogFormatter, XKT_logFileOutput);
    if (XKT_thread_create(XKT_logThread, 0, 0, 1, nullptr) != 0) {
        XKT_logDeinit();
        return initFailed("Log:create log thread failed\n");
    }
    // Last, so no process sees management taken over before the log thread
    // reads the log back.
    setMgmtTakeover(true);
    XKT_STARTUP_LOG("Log:first XKT_logInit, set android property mgmttakeover to 1\n");
    if (XKT_property_set(kTakeoverProperty, "1") != 0) {
        // The log thread runs on, idle: the library never stops it.
        XKT_logDeinit();
        return initFailed("Log:set android property %s failed\n", kTakeoverProperty);
    }
    return 0;
}

extern "C" XKT_API int32_t XKT_checkStatus(void) {
    const ErrnoGuard keepErrno;
    const int32_t generation = getAndroidVersion();
    if (generation > 2) g_iLogcatMode.store(1, std::memory_order_relaxed);
    return generation;
}

extern "C" XKT_API int32_t XKT_logDeinit(void) {
    const ErrnoGuard keepErrno;
    // Every handle is forgotten as it is destroyed, so a repeated call or a
    // later XKT_logInit finds no stale lock.
    if (const uint32_t initLock = g_logInitMutex.exchange(0, std::memory_order_acq_rel)) {
        if (initLock == t_heldInitLock) {
            t_destroyHeldInitLock = true;
        } else {
            XKT_mutex_destroy(initLock);
        }
    }
    if (const uint32_t fileLock = g_logFileMutex.exchange(0, std::memory_order_acq_rel)) {
        destroyWhenFree(fileLock);
    }
    stopCollectors();
    destroyErrorLogLock();
    destroyCaptureRingLock();
    clearChannels();
    setMgmtTakeover(false);
    return 0;
}

#define XKT_SETTING_LOG(level, ...)                                                          \
    XKT_logWrite(__FILE__, __LINE__, "XKT_setLogToFlashEnable", 0, XKT_LOG_TYPE_RUN, level, \
                 "LOG", __VA_ARGS__)

extern "C" XKT_API void XKT_setLogToFlashEnable(const char* name, const char* value) {
    const ErrnoGuard keepErrno;
    if (name == nullptr || value == nullptr) {
        XKT_SETTING_LOG(XKT_LOG_LEVEL_ERROR, "XKT_setLogToFlashEnable input is null");
        return;
    }
    const bool off = std::strcmp(value, "0") == 0;
    if (!off && std::strcmp(value, "1") != 0) {
        XKT_SETTING_LOG(XKT_LOG_LEVEL_ERROR, "invaild params[not 0 or 1].");
        return;
    }
    if (std::strcmp(name, "ErrorLogToFlashEnable") == 0) {
        writeSetting(g_iErrorLogToFlashEnable, off ? 0 : 1);
    } else if (std::strcmp(name, "ANRLogToFlashEnable") == 0) {
        writeSetting(g_iANRLogToFlashEnable, off ? 0 : 1);
    }
    XKT_SETTING_LOG(XKT_LOG_LEVEL_DEBUG, "set %s:[%s]", name, value);
}
