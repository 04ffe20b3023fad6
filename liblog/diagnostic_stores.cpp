// The diagnostic stores are optional: the box's parameter file switches the
// error log and the exception log on, and the managing process starts both
// during its initialisation.
#include "diagnostic_stores.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "android/log.h"
#include "box_path.h"
#include "self_log.h"
#include "xkt_log.h"
#include "xkt_securec.h"

namespace xkt::log {

namespace {

constexpr const char* kParameterFile = "/system/iptv/setting/softparam.ini";
constexpr const char* kStoresKey = "SoftParam.UniLogOptimization.Enable";

// Start-up messages go straight to the Android log: the write path drops
// everything until the takeover property is set.
void say(const char* text) { __android_log_print(ANDROID_LOG_DEBUG, "LOG", "%s", text); }

}  // namespace

int32_t startDiagnosticStores() {
    if (XKT_getK47FeaturesValue() != 1) return 0;
    if (XTK_ErrorLogInit() != 0) {
        say("XTK_ErrorLogInit failed");
        return -1;
    }
    if (XKT_ExpLogInit() != 0) {
        say("XKT_ExpLogInit failed");
        return -1;
    }
    return 0;
}

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_getK47FeaturesValue(void) {
    BoxText<64> path;
    FILE* file = path.path(kParameterFile) == 0 ? std::fopen(path.c_str(), "re") : nullptr;
    if (file == nullptr) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, "XKT_getK47FeaturesValue", "Open softparam file failed![%d]",
                     errno);
        return -1;
    }
    // Pairs of words; a word longer than its field goes on as the next word.
    char key[64];
    char value[256];
    for (;;) {
        std::memset(key, 0, sizeof key);
        std::memset(value, 0, sizeof value);
        if (fscanf_s(file, "%63s %255s", key, value) != 2) break;
        if (std::strcmp(key, kStoresKey) == 0 && value[0] != '\0') {
            std::fclose(file);
            return std::atoi(value);
        }
    }
    std::fclose(file);
    return -1;
}
