#include "log_model.h"

#include "bounded_text.h"
#include "errno_guard.h"

namespace xkt::log {

LogConfig g_logConfig;

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_logFilterInit(void) {
    const ErrnoGuard keepErrno;
    g_logConfig.logLevel.store(0, std::memory_order_relaxed);
    g_logConfig.logType.store(0, std::memory_order_relaxed);
    copyText(g_logConfig.modules, "ALL");
    return 0;
}

extern "C" XKT_API const char* XKT_logGetLevelStr(uint32_t level) {
    // The names are string literals, so the views are NUL-terminated.
    return levelName(level).data();
}
