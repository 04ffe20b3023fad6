/*
 * The middleware's utility library: the Android generation and the reader of
 * the Android log used on newer generations.
 */
#ifndef XKT_UTILITY_H
#define XKT_UTILITY_H

#include <stdint.h>

#include "xkt_osal.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A small number naming the Android generation; callers only test > 2. */
XKT_PLATFORM_API int32_t getAndroidVersion(void);

/* What xkt_read_logcat says about the entry it returned. On the box this is
 * eight 32-bit words; the tag is a pointer, so on a 64-bit machine the record
 * is larger, which no caller depends on. */
typedef struct XKT_LogcatEntry {
    int32_t length;      /* length of the text returned */
    int32_t lost;        /* entries this reader lost to overwriting since the last call */
    int32_t priority;    /* Android priority of the entry */
    int32_t pid;         /* process id of the writer */
    int32_t tid;         /* thread id of the writer */
    const char* tag;     /* the entry's tag; valid until the next call */
    int32_t seconds;     /* time stamp of the entry */
    int32_t nanoseconds;
} XKT_LogcatEntry;

/* Reads the next entry of the Android log ("main" and "system") into
 * text[size] as one or more lines separated by line feeds, one line for each
 * line of the message. Every line starts with a 20-character prefix
 * "P/TAG    (PPPPPPP): " (priority letter, "/", tag left-aligned in at least
 * seven characters, process id in seven), so a middleware record line (tag
 * "XKT" or "CPE") starts at the 21st character, and any other line carries
 * "P/" and its tag as an Android brief line does. Waits up to 100 ms for an
 * entry. 0 when something was read, non-zero otherwise. */
XKT_PLATFORM_API int32_t xkt_read_logcat(char* text, int32_t size, XKT_LogcatEntry* entry);

#ifdef __cplusplus
}
#endif

#endif
