// The kernel log devices, served from the host's rings. Each descriptor is
// a real one (an open of the ring's file), so it is unique in the process,
// fits an fd_set and is released by a crash like any other; beside it a
// reader keeps the descriptor's own position.
#include "xkt_logdev.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string_view>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include "log_buffer.h"

namespace xkt::host {
namespace {

struct Device {
    explicit Device(LogBuffer& buffer) : reader(buffer) {}
    std::mutex mutex;  // a reader moves one thread at a time
    LogReader reader;

    bool hasUnread() {
        std::lock_guard<std::mutex> lock(mutex);
        return reader.hasUnread();
    }
};

// Never destroyed: a log thread the library never stops may still be
// waiting on a device while the process runs its exit handlers.
std::mutex& tableMutex = *new std::mutex;
std::unordered_map<int, std::shared_ptr<Device>>& devices =
    *new std::unordered_map<int, std::shared_ptr<Device>>;

std::shared_ptr<Device> findDevice(int fd) {
    std::lock_guard<std::mutex> lock(tableMutex);
    auto it = devices.find(fd);
    return it == devices.end() ? nullptr : it->second;
}

std::optional<LogId> deviceId(std::string_view path) {
    constexpr std::string_view kFolder = "/dev/log/";
    if (path.substr(0, kFolder.size()) != kFolder) return std::nullopt;
    return logIdFromName(path.substr(kFolder.size()));
}

// A descriptor of the ring's file that is neither 0 (callers take 0 for
// "none") nor too large for select().
int openDescriptor(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == 0) {
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        ::close(fd);
        fd = moved;
    }
    if (fd >= FD_SETSIZE) {
        ::close(fd);
        errno = EMFILE;
        return -1;
    }
    return fd;
}

int64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

using Watched = std::vector<std::pair<int, std::shared_ptr<Device>>>;

// The log descriptors in the set; false when it names another descriptor.
bool watchedDevices(int nfds, const fd_set* readfds, Watched& watched) {
    if (readfds == nullptr) return true;
    std::lock_guard<std::mutex> lock(tableMutex);
    for (int fd = 0; fd < nfds; ++fd) {
        if (!FD_ISSET(fd, readfds)) continue;
        auto it = devices.find(fd);
        if (it == devices.end()) return false;
        watched.emplace_back(fd, it->second);
    }
    return true;
}

int markReady(const Watched& watched, fd_set* readfds) {
    int ready = 0;
    if (readfds != nullptr) FD_ZERO(readfds);
    for (const auto& [fd, device] : watched) {
        if (!device->hasUnread()) continue;
        FD_SET(fd, readfds);
        ++ready;
    }
    return ready;
}

int timeoutMs(const timeval* timeout) {
    if (timeout == nullptr) return -1;
    int64_t ms = static_cast<int64_t>(timeout->tv_sec) * 1000 + (timeout->tv_usec + 999) / 1000;
    return static_cast<int>(std::min<int64_t>(ms, INT_MAX));
}

}  // namespace
}  // namespace xkt::host

using namespace xkt::host;

extern "C" int32_t xkt_logdev_open(const char* devicePath) {
    auto id = devicePath != nullptr ? deviceId(devicePath) : std::nullopt;
    if (!id) {
        errno = ENOENT;
        return -1;
    }
    LogBuffer* buffer = LogBuffer::get(*id);
    if (buffer == nullptr) return -1;
    int fd = openDescriptor(buffer->path());
    if (fd < 0) return -1;
    auto device = std::make_shared<Device>(*buffer);
    std::lock_guard<std::mutex> lock(tableMutex);
    devices[fd] = std::move(device);
    return fd;
}

extern "C" int32_t xkt_logdev_select(int32_t nfds, fd_set* readfds, struct timeval* timeout) {
    if (nfds < 0 || nfds > FD_SETSIZE ||
        (timeout != nullptr && (timeout->tv_sec < 0 || timeout->tv_usec < 0))) {
        errno = EINVAL;
        return -1;
    }
    Watched watched;
    if (!watchedDevices(nfds, readfds, watched)) {
        errno = EBADF;
        return -1;
    }
    const int waitMs = timeoutMs(timeout);
    const int64_t start = monotonicMs();
    auto ready = [&watched] {
        for (const auto& entry : watched) {
            if (entry.second->hasUnread()) return true;
        }
        return false;
    };
    LogWaitResult result = waitForLogs(ready, waitMs);
    if (timeout != nullptr) {
        // As Linux select() does, leave the time that was not used.
        int64_t left = std::max<int64_t>(0, waitMs - (monotonicMs() - start));
        timeout->tv_sec = static_cast<time_t>(left / 1000);
        timeout->tv_usec = static_cast<suseconds_t>(left % 1000) * 1000;
    }
    if (result == LogWaitResult::Interrupted) {
        errno = EINTR;
        return -1;
    }
    return markReady(watched, readfds);
}

extern "C" int32_t xkt_logdev_read(int32_t fd, void* buffer, uint32_t size) {
    auto device = findDevice(fd);
    if (device == nullptr) {
        errno = EBADF;
        return -1;
    }
    if (buffer == nullptr) {
        errno = EFAULT;
        return -1;
    }
    int result = 0;
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        result = device->reader.read(buffer, size);
    }
    if (result <= 0) {
        errno = result < 0 ? -result : EAGAIN;
        return -1;
    }
    return result;
}

extern "C" int32_t xkt_logdev_ioctl(int32_t fd, uint32_t request) {
    auto device = findDevice(fd);
    if (device == nullptr) {
        errno = EBADF;
        return -1;
    }
    if (request != XKT_LOGGER_FLUSH_LOG) {
        errno = EINVAL;
        return -1;
    }
    if (!device->reader.buffer().clear()) {
        errno = EBUSY;  // a lane stayed locked by a live writer
        return -1;
    }
    return 0;
}

extern "C" int32_t xkt_logdev_close(int32_t fd) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard<std::mutex> lock(tableMutex);
        auto it = devices.find(fd);
        if (it == devices.end()) {
            errno = EBADF;
            return -1;
        }
        device = std::move(it->second);
        devices.erase(it);
    }
    return ::close(fd);
}
