// The start of the error log and the exception log in the managing process.
#pragma once

#include <cstdint>

namespace xkt::log {

// Starts both stores when the parameter file switches them on. 0 when they
// started or are switched off, -1 when one failed to start (reported to the
// Android log; nothing is undone).
int32_t startDiagnosticStores();

}  // namespace xkt::log
