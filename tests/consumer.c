/* app.c: a middleware process logging through the library. Start xktlogd
 * first: until some process manages the log, every write is dropped. */
#include <stdio.h>

#include <xkt_log.h>

int main(void) {
    /* The host's parameter block: the library keeps the pointers. */
    static int32_t tls = 0, seconds = 2 * 3600, errorsToFlash = 0, anrsToFlash = 0;
    static const LogParam param = {&tls, &seconds, &errorsToFlash, &anrsToFlash};
    int streams = 42;

    if (XKT_logInit(0, XKT_LOG_LEVEL_INFO, XKT_LOG_TYPE_ALL, "player|net", &param) != 0) {
        fprintf(stderr, "XKT_logInit failed\n");
        return 1;
    }
    if (XKT_LOG(XKT_LOG_TYPE_RUN, XKT_LOG_LEVEL_INFO, "player", "started %d streams", streams) < 0) {
        fprintf(stderr, "not logged: no process manages the log, or the filter refused it\n");
        return 1;
    }
    XKT_logDeinit();
    return 0;
}
