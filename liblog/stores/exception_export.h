// The exception log's export to flash: the archives of the captures.
#pragma once

#include <cstdint>

namespace xkt::log {

// Adds the repeating export timer. 0, or -1 when the timer service refuses
// it ("add timer failed" written).
int32_t armExpLogExport();

}  // namespace xkt::log
