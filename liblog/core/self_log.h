// The library's own messages: type "Run", module "LOG", code 0, our source
// position, and the operation's name as the function. They travel the same
// road as any other message (and are dropped before the takeover).
#pragma once

#include "android/log.h"
#include "errno_guard.h"
#include "xkt_log.h"

#define XKT_SELF_LOG(level, function, ...) \
    XKT_logWrite(__FILE__, __LINE__, function, 0, XKT_LOG_TYPE_RUN, level, "LOG", __VA_ARGS__)

// Start-up and filter-setter messages go straight to the Android log, tag
// "LOG" at debug priority: the write path drops everything until the
// takeover. The result is __android_log_print's (negative: not written).
#define XKT_STARTUP_LOG(...) __android_log_print(ANDROID_LOG_DEBUG, "LOG", __VA_ARGS__)
// The usual failure exit: an ERROR message for function, then -1.
#define XKT_SELF_FAIL(function, ...) \
    ((void)XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, function, __VA_ARGS__), -1)
// The opening of an exported operation that reports on itself: the
// caller's errno handed back on return, the name its messages carry, and
// its "enter NAME" message.
#define XKT_SELF_ENTER(name)                           \
    const ::xkt::log::ErrnoGuard keepErrno;            \
    constexpr const char* kFunction = name;            \
    XKT_SELF_LOG(XKT_LOG_LEVEL_DEBUG, kFunction, "enter " name)
