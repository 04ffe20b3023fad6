/*
 * The Android kernel log devices ("/dev/log/main", ...), read in device mode
 * by the log thread on older Android generations. On the box these calls are
 * open, select, read, ioctl and close on the devices themselves; the host
 * serves them from its shared log buffers. One of the host's extras: the
 * library reaches them only through its platform seam.
 */
#ifndef XKT_LOGDEV_H
#define XKT_LOGDEV_H

#include <stdint.h>
#include <sys/select.h>
#include <sys/time.h>

#include "xkt_host_extras.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The logger's request that empties a device's buffer. */
#define XKT_LOGGER_FLUSH_LOG 0xAE04u

/* Opens a log device by its box path; a descriptor (> 0), or -1 with errno. */
XKT_PLATFORM_API int32_t xkt_logdev_open(const char* devicePath);
/* select() for reading on log device descriptors. */
XKT_PLATFORM_API int32_t xkt_logdev_select(int32_t nfds, fd_set* readfds, struct timeval* timeout);
/* Reads exactly one whole entry (20-byte header, then the payload) into
 * buffer. Returns its size; -1 with errno EINVAL when the entry does not fit
 * (it stays in place), EAGAIN when there is none. */
XKT_PLATFORM_API int32_t xkt_logdev_read(int32_t fd, void* buffer, uint32_t size);
/* The logger's ioctl requests; XKT_LOGGER_FLUSH_LOG is the one used. */
XKT_PLATFORM_API int32_t xkt_logdev_ioctl(int32_t fd, uint32_t request);
XKT_PLATFORM_API int32_t xkt_logdev_close(int32_t fd);

#ifdef __cplusplus
}
#endif

#endif
