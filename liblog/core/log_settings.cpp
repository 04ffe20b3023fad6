// The process's settings, exported ones included.
#include "log_settings.h"

extern "C" {
XKT_API int32_t g_iLogUseUTCTime = 0;
XKT_API int32_t g_iJcKpiEnable = 0;
XKT_API int32_t g_iANRLogToFlashEnable = 1;
XKT_API int32_t g_iErrorLogToFlashEnable = 0;
XKT_API int32_t g_iTimeIntervalForLogToFlash = 0;
XKT_API int32_t g_system_ticks = 0;
}

namespace xkt::log {

std::atomic<int32_t> g_iDirectOutputLog{0};
std::atomic<int32_t> g_iLogcatMode{0};
std::atomic<int32_t> g_iUseHttpsSyslog{0};
char g_macString[kMacStringSize] = {};
std::atomic<uint32_t> g_logFileMutex{0};

}  // namespace xkt::log
