/*
 * Bounded C string functions of the platform's C runtime. Every one is
 * bounded by the destination's size (destMax) and, where given, a maximum
 * count of characters: text that does not fit is cut and terminated, never
 * written past destMax, and the call reports -1. Null pointers or a destMax of
 * 0 report -1 and write nothing.
 */
#ifndef XKT_SECUREC_H
#define XKT_SECUREC_H

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

#include "xkt_osal.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sets min(count, destMax) bytes; -1 when count > destMax. */
XKT_PLATFORM_API int memset_s(void* dest, size_t destMax, int c, size_t count);
/* Copies min(count, destMax) bytes; -1 when count > destMax. */
XKT_PLATFORM_API int memcpy_s(void* dest, size_t destMax, const void* src, size_t count);
/* Copies at most min(count, destMax - 1) characters and terminates. 0 when
 * the whole source, or its first count characters, were copied; -1 when
 * destMax cut the text. */
XKT_PLATFORM_API int strncpy_s(char* dest, size_t destMax, const char* src, size_t count);
/* Formats at most min(count, destMax - 1) characters and terminates.
 * Returns the number of characters written, -1 when the output was cut. */
XKT_PLATFORM_API int snprintf_s(char* dest, size_t destMax, size_t count, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
XKT_PLATFORM_API int vsnprintf_s(char* dest, size_t destMax, size_t count, const char* format,
                                 va_list args) __attribute__((format(printf, 4, 0)));
/* sscanf and fscanf that refuse (-1, nothing stored) a format whose %s, %c
 * or %[ conversion has no explicit width, so no conversion can overflow. */
XKT_PLATFORM_API int sscanf_s(const char* buffer, const char* format, ...);
XKT_PLATFORM_API int fscanf_s(FILE* stream, const char* format, ...);

#ifdef __cplusplus
}
#endif

#endif
