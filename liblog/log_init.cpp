// Initialisation and the exported settings.
#include "log_init.h"

#include "xkt_log.h"

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

}  // namespace xkt::log
