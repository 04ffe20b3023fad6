// UDP and stream sockets and the box's MAC address. The socket calls are thin: the
// library's constants are the OS layer's, mapped here to Linux's.
#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "xkt_osal.h"

namespace {

constexpr size_t kMacLength = 17;  // "aa:bb:cc:dd:ee:ff"

bool isMacText(const std::string& text) {
    if (text.size() != kMacLength) return false;
    for (size_t i = 0; i < kMacLength; ++i) {
        bool separator = i % 3 == 2;
        if (separator ? text[i] != ':' : !std::isxdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

bool isAllZero(const std::string& mac) {
    return std::all_of(mac.begin(), mac.end(), [](char c) { return c == '0' || c == ':'; });
}

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string readLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Interfaces in name order, so "first" means the same on every call.
std::string macFromSysfs() {
    const std::string base = "/sys/class/net/";
    DIR* dir = opendir(base.c_str());
    if (dir == nullptr) return {};
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        unsigned long flags = std::strtoul(readLine(base + name + "/flags").c_str(), nullptr, 0);
        if ((flags & IFF_LOOPBACK) != 0) continue;
        std::string mac = lowerCase(readLine(base + name + "/address"));
        if (isMacText(mac) && !isAllZero(mac)) return mac;
    }
    return {};
}

// Where /sys is not mounted (some containers), the link-layer addresses of
// getifaddrs.
std::string macFromIfaddrs() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return {};
    std::string found;
    for (ifaddrs* at = list; at != nullptr && found.empty(); at = at->ifa_next) {
        if (at->ifa_addr == nullptr || at->ifa_addr->sa_family != AF_PACKET) continue;
        if ((at->ifa_flags & IFF_LOOPBACK) != 0) continue;
        const auto* link = reinterpret_cast<const sockaddr_ll*>(at->ifa_addr);
        if (link->sll_halen != 6) continue;
        char text[kMacLength + 1];
        std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", link->sll_addr[0],
                      link->sll_addr[1], link->sll_addr[2], link->sll_addr[3], link->sll_addr[4],
                      link->sll_addr[5]);
        if (!isAllZero(text)) found = text;
    }
    freeifaddrs(list);
    return found;
}

timeval toTimeval(uint32_t ms) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(ms / 1000);
    value.tv_usec = static_cast<suseconds_t>(ms % 1000 * 1000);
    return value;
}

bool setBlocking(int fd, bool blocking) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    return fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

// A blocking connect waits for the kernel's own time-out (minutes for an
// address that never answers): connect without blocking and poll instead.
int32_t connectWithin(int fd, const sockaddr_in& peer, uint32_t timeoutMs) {
    if (!setBlocking(fd, false)) return -1;
    int result = connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    if (result < 0 && errno == EINPROGRESS) {
        pollfd waiting{fd, POLLOUT, 0};
        const int ready = poll(&waiting, 1, static_cast<int>(timeoutMs));
        int error = ready == 0 ? ETIMEDOUT : errno;
        socklen_t size = sizeof error;
        if (ready > 0) getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
        // A socket shut down while connecting reports no error but has no peer.
        if (ready > 0 && error == 0 && (waiting.revents & POLLHUP) != 0) error = ECONNABORTED;
        result = error == 0 ? 0 : -1;
        errno = error;
    }
    const int connectError = errno;
    if (!setBlocking(fd, true)) return -1;
    errno = connectError;
    return result == 0 ? 0 : -1;
}

}  // namespace

extern "C" {

int32_t XKT_sock_socket(int32_t family, int32_t type, int32_t protocol) {
    if (family != XKT_SOCK_AF_INET || (type != XKT_SOCK_DGRAM && type != XKT_SOCK_STREAM)) {
        errno = EINVAL;
        return -1;
    }
    // Not inherited by the commands the shell runner starts.
    return socket(AF_INET, (type == XKT_SOCK_STREAM ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC,
                  protocol);
}

int32_t XKT_sock_setsockopt(int32_t fd, int32_t level, int32_t option, const void* value,
                            uint32_t length) {
    // The box's levels and options are Linux's (SOL_SOCKET 1, SO_REUSEADDR 2).
    return setsockopt(fd, level, option, value, length) == 0 ? 0 : -1;
}

uint32_t XKT_sock_inetaddr(const char* text) {
    in_addr address{};
    if (text == nullptr || inet_pton(AF_INET, text, &address) != 1) return INADDR_NONE;
    return address.s_addr;
}

int32_t XKT_sock_sendto(int32_t fd, const void* buffer, uint32_t length, int32_t flags,
                        const void* address, uint32_t addressLength) {
    if (address == nullptr || addressLength < sizeof(sockaddr_in)) {
        errno = EINVAL;
        return -1;
    }
    ssize_t sent = sendto(fd, buffer, length, flags | MSG_NOSIGNAL,
                          static_cast<const sockaddr*>(address), sizeof(sockaddr_in));
    return static_cast<int32_t>(sent);
}

int32_t XKT_sock_close(int32_t fd) { return close(fd) == 0 ? 0 : -1; }

int32_t XKT_sock_connect(int32_t fd, uint32_t address, uint16_t port, uint32_t timeoutMs) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address;
    return connectWithin(fd, peer, timeoutMs);
}

int32_t XKT_sock_settimeout(int32_t fd, uint32_t timeoutMs) {
    const timeval timeout = toTimeval(timeoutMs);
    const bool set = setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0 &&
                     setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
    return set ? 0 : -1;
}

int32_t XKT_sock_send(int32_t fd, const void* buffer, uint32_t length) {
    return static_cast<int32_t>(send(fd, buffer, length, MSG_NOSIGNAL));
}

int32_t XKT_sock_recv(int32_t fd, void* buffer, uint32_t length) {
    return static_cast<int32_t>(recv(fd, buffer, length, 0));
}

int32_t XKT_sock_shutdown(int32_t fd) { return shutdown(fd, SHUT_RDWR) == 0 ? 0 : -1; }

int32_t XKT_sock_getMac(char* mac) {
    if (mac == nullptr) return -1;
    mac[0] = '\0';
    std::string found;
    if (const char* env = std::getenv("XKT_MAC"); env != nullptr) {
        // A set but malformed XKT_MAC is a mistake to report, not to paper
        // over with the machine's own address.
        if (!isMacText(env)) return -1;
        found = lowerCase(env);
    } else {
        found = macFromSysfs();
        if (found.empty()) found = macFromIfaddrs();
    }
    if (found.empty()) return -1;
    std::memcpy(mac, found.c_str(), kMacLength + 1);
    return 0;
}

}  // extern "C"
