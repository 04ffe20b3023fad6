// The shell command runner and the file operations built on it. Command
// lines and entry paths are built from paths the callers already rooted, so
// their buffers get room for the root on top (BoxText); a text that still
// does not fit is refused rather than cut into a command that names
// something else.
#include "shell_utils.h"

#include <cstring>
#include <dirent.h>
#include <unistd.h>

#include "box_path.h"
#include "text_builder.h"
#include "log_init.h"
#include "self_log.h"
#include "xkt_log.h"

namespace xkt::log {

namespace {

constexpr size_t kCommandSize = 256;
constexpr size_t kEntryPathSize = 128;

bool exists(const char* path) { return access(path, F_OK) == 0; }

// "busybox rm -f" with the path as one shell word whatever it holds: in
// single quotes, a quote inside written as '\''. Paths come from directory
// listings, and a name with a blank or a ";" must not become a second
// argument or command. -1 when it does not fit.
int32_t formatRemoval(BoxText<kCommandSize>& command, const char* path) {
    char quoted[BoxText<kCommandSize>::capacity()];
    TextBuilder word(quoted, sizeof quoted - 1);
    word.ch('\'');
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\'') {
            word.text("'\\''");
        } else {
            word.ch(*p);
        }
    }
    word.ch('\'');
    word.finish();
    if (word.cut()) return -1;
    return command.format("busybox rm -f %s", quoted);
}

}  // namespace

int32_t runShellCommand(const char* command, const ShellOps& ops) {
    constexpr const char* kFunction = "XKT_actShellCmd";
    if (command == nullptr) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "null pointer");
        return -1;
    }
    // On the newer generations a mkdir must have finished before the caller
    // goes on to use the folder, so it is waited for; the substring test is
    // deliberately loose (any line mentioning mkdir qualifies).
    if (std::strstr(command, "mkdir") != nullptr &&
        g_iLogcatMode.load(std::memory_order_relaxed) == 1) {
        if (ops.system(command) < 0) {
            XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "system exec faild");
            return -1;
        }
        return 0;
    }
    // The second word comes back as the started command's pid: the
    // exception log kills its logcat collector with it later. A platform
    // that stores nothing leaves the preset -1, which callers read as a
    // failure.
    int32_t reserved = -1;
    int32_t pid = -1;
    XKT_CsHandle* handle = ops.csopen(command, "r", &reserved, &pid);
    if (handle == nullptr) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "XKT_csopen exec faild");
        return -1;
    }
    ops.csclose(handle, 0);
    return pid;
}

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_actShellCmd(const char* command) {
    return runShellCommand(command, kPlatformShell);
}

extern "C" XKT_API int32_t XKT_chownUserToSystem(const char* path) {
    constexpr const char* kFunction = "XKT_chownUserToSystem";
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "enter XKT_chownSystem");
    if (path == nullptr) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "invalid param");
        return -1;
    }
    BoxText<kCommandSize> command;
    if (command.format("chown system.system %s", path) != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "path too long");
        return -1;
    }
    if (XKT_actShellCmd(command.c_str()) < 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "Excute [%s] faild", command.c_str());
        return -1;
    }
    return 0;
}

extern "C" XKT_API int32_t XKT_createFolder(const char* path) {
    constexpr const char* kFunction = "XKT_createFolder";
    // Whatever stands there already counts as done, also a regular file.
    if (exists(path)) return 0;
    BoxText<kCommandSize> command;
    if (command.format("busybox mkdir -p %s", path) != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "path too long");
        return -1;
    }
    // Waited for directly, not through the runner: the caller uses the
    // folder right away on every generation.
    if (XKT_system(command.c_str()) < 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "mkdir failed");
        return -1;
    }
    return 0;
}

extern "C" XKT_API int32_t XKT_deleteFile(const char* path) {
    constexpr const char* kFunction = "XKT_deleteFile";
    if (!exists(path)) return 0;
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "attempt to rm %s", path);
    BoxText<kCommandSize> command;
    if (formatRemoval(command, path) != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "path too long");
        return -1;
    }
    if (XKT_actShellCmd(command.c_str()) < 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "Excute command faild");
        return -1;
    }
    // The runner only says the command started; a rm without permission
    // shows up here.
    if (exists(path)) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "Delete file failed");
        return -1;
    }
    return 0;
}

extern "C" XKT_API int32_t XKT_deleteAllfileofFolder(const char* path) {
    constexpr const char* kFunction = "XKT_deleteAllfileofFolder";
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "enter XKT_deleteAllfileofFolder");
    if (path == nullptr) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "invalid param");
        return -1;
    }
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "opendir failed");
        return -1;
    }
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
