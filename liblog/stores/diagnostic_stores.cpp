// The diagnostic stores are optional: the box's parameter file switches the
// error log and the exception log on, and the managing process starts both
// during its initialisation. Starting one prepares its capture, then arms
// its export, which works on what the capture left.
#include "diagnostic_stores.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "android/log.h"
#include "box_path.h"
#include "errno_guard.h"
#include "error_export.h"
#include "error_log.h"
#include "exception_export.h"
#include "exception_log.h"
#include "self_log.h"
#include "xkt_log.h"
#include "xkt_securec.h"
#include "xkt_utility.h"

namespace xkt::log {

namespace {

constexpr const char* kParameterFile = "/system/iptv/setting/softparam.ini";
constexpr const char* kStoresKey = "SoftParam.UniLogOptimization.Enable";

// The parameter file for reading, or null with errno. A FIFO or a device in
// its place must not stall initialisation: the open does not wait for a
// writer, and only a regular file is read.
FILE* openRegularFile(const char* path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    FILE* file = fdopen(fd, "r");
    if (file == nullptr) close(fd);
    return file;
}

}  // namespace

int32_t startDiagnosticStores() {
    if (XKT_getK47FeaturesValue() != 1) return 0;
    if (XTK_ErrorLogInit() != 0) {
        XKT_STARTUP_LOG("XTK_ErrorLogInit failed");
        return -1;
    }
    if (XKT_ExpLogInit() != 0) {
        XKT_STARTUP_LOG("XKT_ExpLogInit failed");
        return -1;
    }
    return 0;
}

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_getK47FeaturesValue(void) {
    const ErrnoGuard keepErrno;
    BoxText<64> path;
    FILE* file = path.path(kParameterFile) == 0 ? openRegularFile(path.c_str()) : nullptr;
    if (file == nullptr) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, "XKT_getK47FeaturesValue", "Open softparam file failed![%d]",
                     errno);
        return -1;
    }
    // Pairs of words; a word longer than its field goes on as the next word.
    char key[64];
    char value[256];
    for (;;) {
        std::memset(key, 0, sizeof key);
        std::memset(value, 0, sizeof value);
        if (fscanf_s(file, "%63s %255s", key, value) != 2) break;
        if (std::strcmp(key, kStoresKey) == 0 && value[0] != '\0') {
            std::fclose(file);
            return std::atoi(value);
        }
    }
    std::fclose(file);
    return -1;
}

extern "C" XKT_API int32_t XTK_ErrorLogInit(void) {
    const ErrnoGuard keepErrno;
    if (prepareErrorLogCapture() != 0 || armErrorLogExport() != 0) return -1;
    if (getAndroidVersion() > 2) return 0;
    return XKT_OldVersionErrorLogInit();
}

extern "C" XKT_API int32_t XKT_ExpLogInit(void) {
    const ErrnoGuard keepErrno;
    return prepareExpLogCapture() != 0 ? -1 : armExpLogExport();
}
