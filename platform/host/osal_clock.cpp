// Sleep, tick count and calendar time of the OS layer.
#include <cerrno>
#include <ctime>

#include "xkt_osal.h"

extern "C" {

void XKT_sleep(uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    // A signal handler must not shorten the caller's wait.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

uint32_t XKT_get_ticks(void) {
    // CLOCK_MONOTONIC is served by the vDSO: no system call per record line.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                  static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

int32_t XKT_get_time(XKT_CalTime* time) {
    if (time == nullptr) return -1;
    timespec now{};
    struct tm utc {};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0 || gmtime_r(&now.tv_sec, &utc) == nullptr) {
        return -1;
    }
    // The reserved words are the caller's (cleared by it before the call).
    time->second = utc.tm_sec;
    time->minute = utc.tm_min;
    time->hour = utc.tm_hour;
    time->day = utc.tm_mday;
    time->month = utc.tm_mon + 1;
    time->year = utc.tm_year + 1900;
    return 0;
}

}  // extern "C"
