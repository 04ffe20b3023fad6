// Heap, environment and the Android generation of the OS layer.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "xkt_osal.h"
#include "xkt_utility.h"

namespace {

constexpr int32_t kDefaultAndroidVersion = 4;

int32_t readAndroidVersion() {
    const char* text = std::getenv("XKT_ANDROID_VERSION");
    if (text == nullptr || *text == '\0') return kDefaultAndroidVersion;
    char* end = nullptr;
    errno = 0;
    long version = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || version < 0 || version > 1000) {
        return kDefaultAndroidVersion;
    }
    return static_cast<int32_t>(version);
}

}  // namespace

extern "C" {

void* XKT_malloc(uint32_t size) {
    // malloc(0) may return null, which every caller takes for failure.
    return std::malloc(size != 0 ? size : 1);
}

void XKT_free(void* pointer) { std::free(pointer); }

char* XKT_GetEnvStr(const char* name) {
    if (name == nullptr) return nullptr;
    const char* value = std::getenv(name);
    if (value == nullptr) return nullptr;
    size_t length = std::strlen(value);
    if (length >= UINT32_MAX) return nullptr;
    auto* copy = static_cast<char*>(XKT_malloc(static_cast<uint32_t>(length + 1)));
    if (copy != nullptr) std::memcpy(copy, value, length + 1);
    return copy;
}

int32_t getAndroidVersion(void) {
    // The generation of a box never changes while a process runs.
    static const int32_t version = readAndroidVersion();
    return version;
}

}  // extern "C"
