// The error log's export to flash: the archives of the collected files.
#pragma once

#include <cstdint>

namespace xkt::log {

// Adds the repeating export timer (g_LogOutputTimerID). 0, or -1 when the
// timer service refuses it.
int32_t armErrorLogExport();

}  // namespace xkt::log
