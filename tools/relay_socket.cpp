#include "relay_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "tool_cli.h"

namespace xkt::tools {
namespace {

// Parks errno over the clean-up of a failed set-up.
int closeFailed(int fd) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

// SO_RCVBUFFORCE passes net.core.rmem_max, but only with CAP_NET_ADMIN;
// without it SO_RCVBUF gives what the cap allows.
void growReceiveBuffer(int fd, int bytes) {
    if (bytes <= 0) return;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
}

}  // namespace

void Endpoint::setPort(uint16_t port) {
    if (family() == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in*>(&address)->sin_port = htons(port);
    }
}

uint16_t Endpoint::port() const {
    return ntohs(family() == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                                      : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

std::string Endpoint::text() const {
    char host[INET6_ADDRSTRLEN] = "?";
    const bool six = family() == AF_INET6;
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(family(), six ? static_cast<const void*>(&v6->sin6_addr) : &v4->sin_addr, host, sizeof host);
    return (six ? "[" + std::string(host) + "]" : std::string(host)) + ":" + std::to_string(port());
}

std::optional<Endpoint> parseEndpoint(std::string_view text, uint16_t defaultPort) {
    std::string_view host = text, port;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || rest.size() == 1)) return std::nullopt;
        port = rest.empty() ? rest : rest.substr(1);
    } else if (const size_t colon = text.find(':'); colon != std::string_view::npos &&
                                                    text.find(':', colon + 1) == std::string_view::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (port.empty()) return std::nullopt;
    }
    const auto number = port.empty() ? std::optional<long>(defaultPort) : parseNumber(port, 0, 65535);
    if (!number) return std::nullopt;
    Endpoint endpoint;
    const std::string hostText(host);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&endpoint.address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&endpoint.address);
    if (inet_pton(AF_INET, hostText.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        endpoint.size = sizeof *v4;
    } else if (inet_pton(AF_INET6, hostText.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        endpoint.size = sizeof *v6;
    } else {
        return std::nullopt;
    }
    endpoint.setPort(static_cast<uint16_t>(*number));
    return endpoint;
}

int openListener(Endpoint& at, const ListenOptions& options, int& granted) {
    const int fd = socket(at.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    if (options.sharePort && setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) {
        return closeFailed(fd);
    }
    // An IPv6 listener takes IPv6 only: a second relay may want the IPv4 side.
    if (at.family() == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    growReceiveBuffer(fd, options.receiveBuffer);
    // An emulator may not know the kernel's drop count: the relay still
    // relays, and says that its "dropped" cannot be trusted.
    if (setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0) {
        if (errno != ENOPROTOOPT) return closeFailed(fd);
        std::fputs("xkt-syslog-decrypt: no kernel drop count here: dropped stays 0\n", stderr);
    }
    if (bind(fd, at.raw(), at.size) != 0) return closeFailed(fd);
    socklen_t size = at.size;
    getsockname(fd, reinterpret_cast<sockaddr*>(&at.address), &size);
    socklen_t grantedSize = sizeof granted;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &grantedSize);
    return fd;
}

int ReceiveBatch::receive(int fd, size_t most) {
    mmsghdr headers[kBatchSize] = {};
    iovec parts[kBatchSize];
    const size_t wanted = most < kBatchSize ? most : kBatchSize;
    for (size_t i = 0; i < wanted; ++i) {
        parts[i] = {slots_[i], kSlotSize};
        msghdr& h = headers[i].msg_hdr;
        h.msg_iov = &parts[i];
        h.msg_iovlen = 1;
        h.msg_name = &from_[i];
        h.msg_namelen = sizeof from_[i];
        h.msg_control = control_[i];
        h.msg_controllen = sizeof control_[i];
    }
    const int taken = recvmmsg(fd, headers, static_cast<unsigned>(wanted), MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (taken < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    for (int i = 0; i < taken; ++i) {
        msghdr& h = headers[i].msg_hdr;
        // MSG_TRUNC makes this the datagram's own length, also when it was cut.
        sizes_[i] = headers[i].msg_len;
        fromSizes_[i] = h.msg_namelen;
        for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                std::memcpy(&drops_, CMSG_DATA(c), sizeof drops_);
            }
        }
    }
    return taken;
}

Endpoint ReceiveBatch::sender(size_t i) const {
    Endpoint endpoint;
    endpoint.address = from_[i];
    endpoint.size = fromSizes_[i];
    return endpoint;
}

void SendBatch::add(const char* data, size_t size) {
    if (count_ == kBatchSize) flush();
    parts_[count_++] = {const_cast<char*>(data), size};
}

size_t SendBatch::flush() {
    mmsghdr headers[kBatchSize] = {};
    for (size_t i = 0; i < count_; ++i) {
        msghdr& h = headers[i].msg_hdr;
        h.msg_iov = &parts_[i];
        h.msg_iovlen = 1;
        h.msg_name = const_cast<sockaddr*>(to_.raw());
        h.msg_namelen = to_.size;
    }
    size_t sent = 0;
    for (size_t next = 0; next < count_;) {
        const int n = sendmmsg(fd_, headers + next, static_cast<unsigned>(count_ - next), 0);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            next += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            ++next;  // the datagram the kernel refused is lost, not retried forever
        }
    }
    count_ = 0;
    return sent;
}

}  // namespace xkt::tools
