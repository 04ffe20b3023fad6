// The error log's state and paths shared by its capture, its export to
// flash and the capture ring of the older Android generations.
#pragma once

#include <cstdint>

namespace xkt::log {

inline constexpr const char* kErrorLogDirectory = "/tmp/errorlog";

// Closes the current temporary file, if one is open, so that the export can
// delete it; the next accepted line creates the file of the same number
// again. The caller holds g_pErrorLogMutex.
void closeErrorLogFile();

// XKT_logDeinit's part: destroys the error log's lock when it exists, and
// forgets the handle.
void destroyErrorLogLock();

// XTK_ErrorLogInit's part before the export: the directories, the count of
// waiting files, the lock and channel 4. 0, or -1 with the reason written.
int32_t prepareErrorLogCapture();

}  // namespace xkt::log
