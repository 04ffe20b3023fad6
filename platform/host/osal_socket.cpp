// UDP sockets and the box's MAC address. The socket calls are thin: the
// library's constants are the OS layer's, mapped here to Linux's.
#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <string>
#include <sys/socket.h>
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

}  // namespace

extern "C" {

int32_t XKT_sock_socket(int32_t family, int32_t type, int32_t protocol) {
    if (family != XKT_SOCK_AF_INET || type != XKT_SOCK_DGRAM) {
        errno = EINVAL;
        return -1;
    }
    // Not inherited by the commands the shell runner starts.
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, protocol);
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
