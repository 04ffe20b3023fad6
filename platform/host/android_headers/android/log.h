/*
 * The host's stand-in for Android's log header: the calls the library and the
 * host's tools make. Entries go to the "main" buffer with the caller's pid,
 * thread id and the current time.
 */
#ifndef XKT_PLATFORM_ANDROID_LOG_H
#define XKT_PLATFORM_ANDROID_LOG_H

#include "xkt_osal.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum android_LogPriority {
    ANDROID_LOG_UNKNOWN = 0,
    ANDROID_LOG_DEFAULT,
    ANDROID_LOG_VERBOSE,
    ANDROID_LOG_DEBUG,
    ANDROID_LOG_INFO,
    ANDROID_LOG_WARN,
    ANDROID_LOG_ERROR,
    ANDROID_LOG_FATAL,
    ANDROID_LOG_SILENT,
} android_LogPriority;

/* Returns the number of bytes written (> 0), or a negative errno value. A
 * message longer than the largest entry is cut. */
XKT_PLATFORM_API int __android_log_write(int prio, const char* tag, const char* text);

/* The log buffers, as Android numbers them. */
typedef enum log_id {
    LOG_ID_MAIN = 0,
    LOG_ID_RADIO = 1,
    LOG_ID_EVENTS = 2,
    LOG_ID_SYSTEM = 3,
} log_id_t;

/* __android_log_write into the buffer bufID; -EINVAL for an unknown one. */
XKT_PLATFORM_API int __android_log_buf_write(int bufID, int prio, const char* tag, const char* text);
XKT_PLATFORM_API int __android_log_print(int prio, const char* tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#ifdef __cplusplus
}
#endif

#endif
