/*
 * What the host platform offers beyond the box's OS layer: the mapping of the
 * box's paths under XKT_ROOT, and a property store that tells cheaply when a
 * value changed. The library reaches these only through its platform seam
 * (liblog/platform_seam.h), which has a fallback for the box; the host's
 * tools and tests call them directly.
 */
#ifndef XKT_HOST_EXTRAS_H
#define XKT_HOST_EXTRAS_H

#include <stdint.h>

#include "xkt_osal.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The box's file system root -------------------------------------- */

/* Maps a path of the box ("/tmp/log") to the path on this machine, into
 * out[outSize]. Returns 0, or -1 (out left empty) when the result does not
 * fit: a cut path would name something else. */
XKT_PLATFORM_API int32_t XKT_rootPath(const char* boxPath, char* out, uint32_t outSize);
/* Length of the prefix XKT_rootPath adds. Buffers that hold the library's
 * own paths add it to their size. */
XKT_PLATFORM_API uint32_t XKT_rootLength(void);

/* ---- Property slots ---------------------------------------------------- */

typedef struct XKT_PropInfo XKT_PropInfo;

/* The property's slot, stable for the life of the process, or null when it
 * does not exist yet. */
XKT_PLATFORM_API const XKT_PropInfo* XKT_property_find(const char* name);
/* A number that changes whenever the property's value is written. Lets a
 * caller skip re-reading a value that has not changed. */
XKT_PLATFORM_API uint32_t XKT_property_serial(const XKT_PropInfo* info);
/* Reads the value of a found property, as XKT_property_get. */
XKT_PLATFORM_API int32_t XKT_property_read(const XKT_PropInfo* info, char* value, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
