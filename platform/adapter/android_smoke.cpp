// A middleware process linked against Android's own log library. It starts
// the library as a plain process (another has taken over management, so it
// neither recreates /tmp/log nor starts a log thread), writes a few records
// and checks that each reached Android's log library as one entry tagged
// "XKT" at the level's priority. The library's logger is replaced by one
// that counts and then prints to standard error, so the check holds whether
// or not a logd runs on this machine.
#include <cstdio>
#include <cstring>

#include <android/log.h>

#include "xkt_log.h"
#include "xkt_osal.h"

namespace {

int g_records = 0;
int g_infoRecords = 0;

void countRecords(const __android_logger_data* data, const char* message) {
    if (data->tag != nullptr && std::strcmp(data->tag, "XKT") == 0) {
        ++g_records;
        g_infoRecords += data->priority == ANDROID_LOG_INFO;
    }
    __android_log_stderr_logger(data, message);
}

int fail(const char* what) {
    std::fprintf(stderr, "android smoke: %s\n", what);
    return 1;
}

}  // namespace

int main() {
    __android_log_set_logger(countRecords);
    __android_log_set_minimum_priority(ANDROID_LOG_VERBOSE);
    if (XKT_property_set("xkt.log.mgmttakeover", "1") != 0 ||
        XKT_property_set("xkt.log.modules", "ALL") != 0) {
        return fail("the properties could not be set");
    }
    if (XKT_logInit(0, XKT_LOG_LEVEL_DEBUG, XKT_LOG_TYPE_ALL, "ALL", nullptr) != 0) {
        return fail("XKT_logInit failed");
    }
    constexpr int kRecords = 3;
    for (int i = 0; i < kRecords; ++i) {
        XKT_logWrite(__FILE__, __LINE__, __func__, 0, XKT_LOG_TYPE_RUN, XKT_LOG_LEVEL_INFO, "SMOKE",
                     "record %d of %d", i + 1, kRecords);
    }
    if (g_records != kRecords || g_infoRecords != kRecords) {
        std::fprintf(stderr, "android smoke: %d of %d records reached the log (%d at INFO)\n",
                     g_records, kRecords, g_infoRecords);
        return 1;
    }
    std::printf("android smoke: %d records written through Android's log library\n", g_records);
    return 0;
}
