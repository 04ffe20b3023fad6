// The few places where the host platform and the box's differ for the
// library. The box's OS layer has no root to map, no property slots with
// serials and no wrappers around the log devices; the host has all three.
// Everything else the library calls (xkt_osal.h, xkt_securec.h,
// xkt_utility.h, Android's log calls) is the same on both.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sys/select.h>
#include <sys/time.h>

#ifndef XKT_ROOT_ROOM
#error "XKT_ROOT_ROOM comes with the platform's build settings (platform/CMakeLists.txt)"
#endif

namespace xkt::log {

// Room a buffer for the library's own paths keeps for the host's root on
// top of the box's size; 0 on the box, whose root is "/".
inline constexpr size_t kRootRoom = XKT_ROOT_ROOM;

// Length of the prefix mapBoxPath adds; 0 on the box.
uint32_t rootLength();
// The box path as this machine names it, into out[outSize]. 0, or -1 (out
// left empty) when it does not fit: a cut path would name something else.
int32_t mapBoxPath(const char* boxPath, char* out, uint32_t outSize);

// One system property, watched for changes by a check cheap enough for every
// write. The host's store keeps a serial per slot; the box's property calls
// have none, so there the value itself is read and hashed.
class PropertyWatch {
public:
    explicit PropertyWatch(const char* name) : name_(name) {}

    // Differs whenever the value differs (a hash may, once in 2^63, not);
    // 0 while the property does not exist.
    uint64_t stamp();
    // The current value, as XKT_property_get: 0 when it was read.
    int32_t read(char* value, uint32_t size);

private:
    const char* name_;
    std::atomic<const void*> slot_{nullptr};  // the host's slot, found once
};

// The Android kernel log devices, read in device mode.
// A descriptor (> 0), or -1 with errno.
int32_t openLogDevice(const char* path);
// select() for reading.
int32_t waitForLogDevices(int32_t nfds, fd_set* readfds, timeval* timeout);
// One whole entry into buffer: its size, or -1 with errno (EINVAL when it
// does not fit and stays in place, EAGAIN when there is none).
int32_t readLogDevice(int32_t fd, void* buffer, uint32_t size);
// Empties the device's buffer (the logger's flush request).
int32_t flushLogDevice(int32_t fd);

}  // namespace xkt::log
