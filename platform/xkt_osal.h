/*
 * The middleware's operating-system abstraction, as the logging library uses
 * it. On the box these calls are served by the middleware's OS layer; on a
 * development machine by platform/host. Every handle and identifier is a
 * 32-bit value, whatever the pointer size of the machine. What the host adds
 * beyond the box's layer is declared apart, in host/include/xkt_host_extras.h.
 */
#ifndef XKT_OSAL_H
#define XKT_OSAL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(XKT_PLATFORM_BUILDING)
#define XKT_PLATFORM_API __attribute__((visibility("default")))
#else
#define XKT_PLATFORM_API
#endif

/* ---- Mutexes (process-local) ------------------------------------------ */

/* Returns a handle, 0 on failure. */
XKT_PLATFORM_API uint32_t XKT_mutex_create(void);
XKT_PLATFORM_API int32_t XKT_mutex_lock(uint32_t mutex);
XKT_PLATFORM_API int32_t XKT_mutex_unlock(uint32_t mutex);
XKT_PLATFORM_API int32_t XKT_mutex_destroy(uint32_t mutex);

/* ---- Threads ----------------------------------------------------------- */

typedef int32_t (*XKT_ThreadEntry)(void);

/* Starts a thread running entry(). stackSize 0 and priority 0 take the
 * defaults; detached 1 leaves nothing to join; threadId may be null.
 * Returns 0 on success. */
XKT_PLATFORM_API int32_t XKT_thread_create(XKT_ThreadEntry entry, uint32_t stackSize,
                                           uint32_t priority, int32_t detached,
                                           uint32_t* threadId);
/* Names the calling thread (at most 15 characters are kept). */
XKT_PLATFORM_API int32_t XKT_thread_setname(const char* name);
/* The calling thread's kernel id. Costs no system call once known, and is
 * never the parent's in a child after fork. */
XKT_PLATFORM_API uint32_t XKT_thread_gettid(void);

/* ---- Time -------------------------------------------------------------- */

/* Blocks the calling thread for ms milliseconds. */
XKT_PLATFORM_API void XKT_sleep(uint32_t ms);
/* Monotonic milliseconds, cut to 32 bits. */
XKT_PLATFORM_API uint32_t XKT_get_ticks(void);

/* The calendar time record: six fields, then five words that stay zero. */
typedef struct XKT_CalTime {
    int32_t second;
    int32_t minute;
    int32_t hour;
    int32_t day;   /* day of month, 1..31 */
    int32_t month; /* 1..12 */
    int32_t year;  /* four digits */
    int32_t reserved[5];
} XKT_CalTime;

/* Fills the six fields with the current UTC time. 0, or -1 on failure. */
XKT_PLATFORM_API int32_t XKT_get_time(XKT_CalTime* time);

/* ---- Timers ------------------------------------------------------------ */

/* Runs on the process's timer thread; the first argument is the timer id,
 * the second the argument given to XKT_timer_add. */
typedef void (*XKT_TimerCallback)(int32_t timerId, int32_t arg);

/* Prepares the timer service; 0 on success. Repeated calls are harmless. */
XKT_PLATFORM_API int32_t XKT_timer_init(void);
/* Runs callback(id, arg) after delayMs, then every periodMs when periodMs is
 * not 0. Returns the timer id, -1 on failure (also while 64 timers are
 * pending: a single-run timer is pending until its callback starts). */
XKT_PLATFORM_API int32_t XKT_timer_add(XKT_TimerCallback callback, int32_t arg,
                                       uint32_t delayMs, uint32_t periodMs);
/* Stops a timer; 0, or -1 when the id is unknown. */
XKT_PLATFORM_API int32_t XKT_timer_remove(int32_t timerId);

/* ---- Memory and environment --------------------------------------------- */

XKT_PLATFORM_API void* XKT_malloc(uint32_t size);
XKT_PLATFORM_API void XKT_free(void* pointer);
/* A heap copy of the variable's value (release with XKT_free), or null when
 * the variable is unset. */
XKT_PLATFORM_API char* XKT_GetEnvStr(const char* name);

/* ---- System properties --------------------------------------------------- */

#define XKT_PROP_NAME_MAX 64   /* bytes, with the terminating NUL */
#define XKT_PROP_VALUE_MAX 1024

/* 0 when the property exists and its value was copied (terminated, cut to
 * size - 1) into value; non-zero otherwise. */
XKT_PLATFORM_API int32_t XKT_property_get(const char* name, char* value, uint32_t size);
/* Stores the property for every process of the box; 0, or -1 on failure
 * (name or value too long, store full or unavailable). */
XKT_PLATFORM_API int32_t XKT_property_set(const char* name, const char* value);


/* ---- Shell commands -------------------------------------------------------- */

/* Runs the command line through the shell and waits for it. Returns its exit
 * status (0 or more), negative when it could not be run. */
XKT_PLATFORM_API int32_t XKT_system(const char* command);

typedef struct XKT_CsHandle XKT_CsHandle;

/* Starts the command line with its output readable ("r"). *reserved is left
 * as it is; *pid receives the process id of the started command, the one
 * that "kill -9" stops together with what it runs. Null on failure. */
XKT_PLATFORM_API XKT_CsHandle* XKT_csopen(const char* command, const char* mode,
                                          int32_t* reserved, int32_t* pid);
/* Releases the handle. Returns once a command that ends by itself has ended;
 * a command that keeps running (one that has released its standard output)
 * is left running and reaped later, never left a zombie. */
XKT_PLATFORM_API int32_t XKT_csclose(XKT_CsHandle* handle, int32_t flags);

/* ---- Sockets ------------------------------------------------------------------- */

#define XKT_SOCK_AF_INET 0
#define XKT_SOCK_STREAM 1
#define XKT_SOCK_DGRAM 2

XKT_PLATFORM_API int32_t XKT_sock_socket(int32_t family, int32_t type, int32_t protocol);
XKT_PLATFORM_API int32_t XKT_sock_setsockopt(int32_t fd, int32_t level, int32_t option,
                                             const void* value, uint32_t length);
/* The dotted IPv4 text as a 32-bit address in network byte order. */
XKT_PLATFORM_API uint32_t XKT_sock_inetaddr(const char* text);
/* address is a struct sockaddr_in of addressLength (16) bytes. */
XKT_PLATFORM_API int32_t XKT_sock_sendto(int32_t fd, const void* buffer, uint32_t length,
                                         int32_t flags, const void* address,
                                         uint32_t addressLength);
XKT_PLATFORM_API int32_t XKT_sock_close(int32_t fd);

/* Connects a stream socket to address (network byte order) and port (host
 * order), waiting at most timeoutMs. The socket stays blocking. 0, or -1
 * with errno set (ETIMEDOUT when the time ran out). */
XKT_PLATFORM_API int32_t XKT_sock_connect(int32_t fd, uint32_t address, uint16_t port,
                                          uint32_t timeoutMs);
/* Bounds every later send and receive on fd to timeoutMs; 0 or -1. */
XKT_PLATFORM_API int32_t XKT_sock_settimeout(int32_t fd, uint32_t timeoutMs);
/* Stream send and receive. A peer that closed the stream costs EPIPE, never
 * a signal. Bytes moved, 0 at the end of the stream, negative on failure. */
XKT_PLATFORM_API int32_t XKT_sock_send(int32_t fd, const void* buffer, uint32_t length);
XKT_PLATFORM_API int32_t XKT_sock_recv(int32_t fd, void* buffer, uint32_t length);
/* Ends both directions of fd without closing it: a thread blocked on fd
 * (connecting, sending, receiving) returns at once. 0 or -1. */
XKT_PLATFORM_API int32_t XKT_sock_shutdown(int32_t fd);
/* The box's MAC address, 17 characters "aa:bb:cc:dd:ee:ff", into a buffer of
 * 32 bytes. 0, or non-zero on failure. */
XKT_PLATFORM_API int32_t XKT_sock_getMac(char* mac);

#ifdef __cplusplus
}
#endif

#endif
