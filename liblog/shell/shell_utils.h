// The shell command runner over the platform's shell operations. The
// exported XKT_actShellCmd runs it over the platform itself; the table lets
// the tests reach the outcomes a working platform never produces (a handle
// without a pid, a runner that cannot start anything).
#pragma once

#include <cstdint>

#include "xkt_osal.h"

namespace xkt::log {

struct ShellOps {
    int32_t (*system)(const char* command);
    XKT_CsHandle* (*csopen)(const char* command, const char* mode, int32_t* reserved,
                            int32_t* pid);
    int32_t (*csclose)(XKT_CsHandle* handle, int32_t flags);
};

inline constexpr ShellOps kPlatformShell{XKT_system, XKT_csopen, XKT_csclose};

// XKT_actShellCmd over ops: -1 on failure, otherwise 0 (waited route) or
// the pid the streamed route reported.
int32_t runShellCommand(const char* command, const ShellOps& ops);

enum class ShellRoute {
    Runner,  // XKT_actShellCmd
    Waited,  // XKT_system: the command has ended when the call returns
};

// Runs a command line built into a BoxText, which is empty when the line
// did not fit: such a line writes "path too long", and one that could not
// be started writes failure (a "%s" in it names the command), both at ERROR
// for function. The route's result, or -1.
int32_t runCommand(const char* command, ShellRoute route, const char* function,
                   const char* failure);

}  // namespace xkt::log
