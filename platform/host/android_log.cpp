// Android's log calls on the host: straight into the buffer's ring ("main"
// unless the call names another).
#include "android/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "log_buffer.h"

namespace {

int writeTo(xkt::host::LogId id, int priority, const char* tag, const char* text) {
    using namespace xkt::host;
    if (text == nullptr) return -EINVAL;
    LogBuffer* buffer = LogBuffer::get(id);
    if (buffer == nullptr) return -errno;
    // Never scan further than an entry can hold: the rest would be cut anyway.
    std::string_view tagView = tag != nullptr ? std::string_view(tag, strnlen(tag, kMaxPayload))
                                              : std::string_view();
    std::string_view textView(text, strnlen(text, kMaxPayload));
    return buffer->write(priority, tagView, textView);
}

}  // namespace

extern "C" int __android_log_write(int prio, const char* tag, const char* text) {
    return writeTo(xkt::host::LogId::Main, prio, tag, text);
}

extern "C" int __android_log_buf_write(int bufID, int prio, const char* tag, const char* text) {
    if (bufID < LOG_ID_MAIN || bufID > LOG_ID_SYSTEM) return -EINVAL;
    return writeTo(static_cast<xkt::host::LogId>(bufID), prio, tag, text);
}

extern "C" int __android_log_print(int prio, const char* tag, const char* format, ...) {
    if (format == nullptr) return -EINVAL;
    char text[xkt::host::kMaxPayload + 1];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) return -EINVAL;
    return writeTo(xkt::host::LogId::Main, prio, tag, text);
}
