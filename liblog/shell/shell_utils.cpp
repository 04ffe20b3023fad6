// The shell command runner and the file operations built on it. Command
// lines and entry paths are built from paths the callers already rooted, so
// their buffers get room for the root on top (BoxText); every path goes
// into a command as one quoted shell word, and a text that still does not
// fit is refused rather than cut into a command that names something else.
#include "shell_utils.h"

#include <cstring>
#include <dirent.h>
#include <unistd.h>

#include "box_path.h"
#include "errno_guard.h"
#include "log_settings.h"
#include "self_log.h"
#include "xkt_log.h"

namespace xkt::log {

namespace {

constexpr size_t kCommandSize = 256;
constexpr size_t kEntryPathSize = 128;

bool exists(const char* path) { return access(path, F_OK) == 0; }

}  // namespace

int32_t runShellCommand(const char* command, const ShellOps& ops) {
    constexpr const char* kFunction = "XKT_actShellCmd";
    if (command == nullptr) return XKT_SELF_FAIL(kFunction, "null pointer");
    // On the newer generations a mkdir must have finished before the caller
    // goes on to use the folder, so it is waited for; the substring test is
    // deliberately loose (any line mentioning mkdir qualifies).
    if (std::strstr(command, "mkdir") != nullptr &&
        g_iLogcatMode.load(std::memory_order_relaxed) == 1) {
        return ops.system(command) < 0 ? XKT_SELF_FAIL(kFunction, "system exec faild") : 0;
    }
    // The second word comes back as the started command's pid: the
    // exception log kills its logcat collector with it later. A platform
    // that stores nothing leaves the preset -1, which callers read as a
    // failure.
    int32_t reserved = -1;
    int32_t pid = -1;
    XKT_CsHandle* handle = ops.csopen(command, "r", &reserved, &pid);
    if (handle == nullptr) return XKT_SELF_FAIL(kFunction, "XKT_csopen exec faild");
    ops.csclose(handle, 0);
    return pid;
}

int32_t runCommand(const char* command, ShellRoute route, const char* function,
                   const char* failure) {
    if (command == nullptr || command[0] == '\0') {
        return XKT_SELF_FAIL(function, "path too long");
    }
    const int32_t result =
        route == ShellRoute::Runner ? XKT_actShellCmd(command) : XKT_system(command);
    if (result < 0) return XKT_SELF_FAIL(function, failure, command);
    return result;
}

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_actShellCmd(const char* command) {
    const ErrnoGuard keepErrno;
    return runShellCommand(command, kPlatformShell);
}

extern "C" XKT_API int32_t XKT_chownUserToSystem(const char* path) {
    const ErrnoGuard keepErrno;
    constexpr const char* kFunction = "XKT_chownUserToSystem";
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "enter XKT_chownSystem");
    if (path == nullptr) return XKT_SELF_FAIL(kFunction, "invalid param");
    BoxText<kCommandSize> command;
    command.command("chown system.system %s", {path});
    return runCommand(command.c_str(), ShellRoute::Runner, kFunction, "Excute [%s] faild") < 0
               ? -1
               : 0;
}

extern "C" XKT_API int32_t XKT_createFolder(const char* path) {
    const ErrnoGuard keepErrno;
    constexpr const char* kFunction = "XKT_createFolder";
    // Whatever stands there already counts as done, also a regular file.
    if (exists(path)) return 0;
    BoxText<kCommandSize> command;
    command.command("busybox mkdir -p %s", {path});
    // Waited for directly, not through the runner: the caller uses the
    // folder right away on every generation.
    return runCommand(command.c_str(), ShellRoute::Waited, kFunction, "mkdir failed") < 0 ? -1
                                                                                          : 0;
}

extern "C" XKT_API int32_t XKT_deleteFile(const char* path) {
    const ErrnoGuard keepErrno;
    constexpr const char* kFunction = "XKT_deleteFile";
    if (!exists(path)) return 0;
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "attempt to rm %s", boxPathOf(path));
    BoxText<kCommandSize> command;
    command.command("busybox rm -f %s", {path});
    if (runCommand(command.c_str(), ShellRoute::Runner, kFunction, "Excute command faild") < 0) {
        return -1;
    }
    // The runner only says the command started; a rm without permission
    // shows up here.
    return exists(path) ? XKT_SELF_FAIL(kFunction, "Delete file failed") : 0;
}

extern "C" XKT_API int32_t XKT_deleteAllfileofFolder(const char* path) {
    XKT_SELF_ENTER("XKT_deleteAllfileofFolder");
    if (path == nullptr) return XKT_SELF_FAIL(kFunction, "invalid param");
    DIR* dir = opendir(path);
    if (dir == nullptr) return XKT_SELF_FAIL(kFunction, "opendir failed");
    // Sub-folders (and "." and "..") are left alone; an entry of unknown
    // type is handed on, and the removal's own check catches a folder.
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_type == DT_DIR) continue;
        BoxText<kEntryPathSize> entryPath;
        if (entryPath.format("%s/%s", path, entry->d_name) != 0) {
            XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "path too long");
            continue;
        }
        if (XKT_deleteFile(entryPath.c_str()) != 0) {
            XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "rm file failed");
        }
    }
    closedir(dir);
    return 0;
}
