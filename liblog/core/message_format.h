// The write path's message: the caller's format and arguments, as
// vsnprintf_s makes them.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace xkt::log {

// Formats into out (max characters and a NUL; out holds max + 1 bytes),
// cut as vsnprintf_s cuts. Returns the length of what out holds.
size_t formatMessage(char* out, size_t max, const char* format, va_list args);

}  // namespace xkt::log
