/* A C program using the installed library as any middleware process would. */
#include <stdio.h>
#include <string.h>

#include <xkt_log.h>

int main(void) {
    LogRecord record;
    LogParam param = {0, 0, 0, 0};
    (void)param;
    memset(&record, 0, sizeof record);
    if (strcmp(XKT_logGetLevelStr(XKT_LOG_LEVEL_WARN), " WARN") != 0) return 2;
    XKT_logFilterSetModule("consumer");
    int32_t rc = XKT_logWrite(__FILE__, __LINE__, __func__, 0, XKT_LOG_TYPE_RUN,
                              XKT_LOG_LEVEL_INFO, "consumer", "hello from C %d", 42);
    printf("XKT_logWrite returned %d\n", (int)rc);
    return rc > 0 ? 0 : 1;
}
