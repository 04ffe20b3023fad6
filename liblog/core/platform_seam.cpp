// The platform seam: the host's extras where the build has them, and what
// the box's own calls give instead.
#include "platform_seam.h"

#include <cstring>

#include "xkt_osal.h"

#if XKT_ROOT_ROOM > 0
#include "xkt_host_extras.h"
#include "xkt_logdev.h"
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace xkt::log {

#if XKT_ROOT_ROOM > 0

uint32_t rootLength() { return XKT_rootLength(); }

int32_t mapBoxPath(const char* boxPath, char* out, uint32_t outSize) {
    return XKT_rootPath(boxPath, out, outSize);
}

namespace {
constexpr uint64_t kStampValid = uint64_t{1} << 32;  // a serial of 0 is a stamp too
}  // namespace

uint64_t PropertyWatch::stamp() {
    auto slot = static_cast<const XKT_PropInfo*>(slot_.load(std::memory_order_acquire));
    if (slot == nullptr) {
        slot = XKT_property_find(name_);
        if (slot == nullptr) return 0;
        slot_.store(slot, std::memory_order_release);
    }
    return kStampValid | XKT_property_serial(slot);
}

int32_t PropertyWatch::read(char* value, uint32_t size) {
    auto slot = static_cast<const XKT_PropInfo*>(slot_.load(std::memory_order_acquire));
    return slot != nullptr ? XKT_property_read(slot, value, size)
                           : XKT_property_get(name_, value, size);
}

int32_t openLogDevice(const char* path) { return xkt_logdev_open(path); }

int32_t waitForLogDevices(int32_t nfds, fd_set* readfds, timeval* timeout) {
    return xkt_logdev_select(nfds, readfds, timeout);
}

int32_t readLogDevice(int32_t fd, void* buffer, uint32_t size) {
    return xkt_logdev_read(fd, buffer, size);
}

int32_t flushLogDevice(int32_t fd) { return xkt_logdev_ioctl(fd, XKT_LOGGER_FLUSH_LOG); }

#else

uint32_t rootLength() { return 0; }

int32_t mapBoxPath(const char* boxPath, char* out, uint32_t outSize) {
    if (out == nullptr || outSize == 0) return -1;
    out[0] = '\0';
    if (boxPath == nullptr) return -1;
    const size_t length = std::strlen(boxPath);
    if (length >= outSize) return -1;
    std::memcpy(out, boxPath, length + 1);
    return 0;
}

namespace {

constexpr unsigned long kLoggerFlushLog = 0xAE04u;  // the logger's ioctl request

// FNV-1a, with the top bit set so that no value stamps 0.
uint64_t hashValue(const char* text) {
    uint64_t hash = 14695981039346656037u;
    for (; *text != '\0'; ++text) {
        hash = (hash ^ static_cast<uint8_t>(*text)) * 1099511628211u;
    }
    return hash | uint64_t{1} << 63;
}

}  // namespace

uint64_t PropertyWatch::stamp() {
    char value[XKT_PROP_VALUE_MAX];  // terminated by a successful read
    if (XKT_property_get(name_, value, sizeof value) != 0) return 0;
    return hashValue(value);
}

int32_t PropertyWatch::read(char* value, uint32_t size) {
    return XKT_property_get(name_, value, size);
}

// Non-blocking: a device that select() called ready may have been emptied
// by another reader meanwhile, and a read must then fail with EAGAIN.
int32_t openLogDevice(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == 0) {
        // A closed standard input hands out 0, which ends the device list.
        fd = fcntl(0, F_DUPFD_CLOEXEC, 1);
        close(0);
    }
    return fd > 0 ? fd : -1;
}

int32_t waitForLogDevices(int32_t nfds, fd_set* readfds, timeval* timeout) {
    return select(nfds, readfds, nullptr, nullptr, timeout);
}

// The logger hands out one whole entry per read, and fails with EINVAL
// when it does not fit.
int32_t readLogDevice(int32_t fd, void* buffer, uint32_t size) {
    return static_cast<int32_t>(::read(fd, buffer, size));
}

int32_t flushLogDevice(int32_t fd) { return ioctl(fd, kLoggerFlushLog); }

#endif

}  // namespace xkt::log
