// The network side of xkt-syslog-decrypt: addresses of either family, a
// listening socket that rides out bursts and counts what the kernel drops,
// and datagrams taken in and sent on in batches, one system call each.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace xkt::tools {

struct Endpoint {
    sockaddr_storage address{};
    socklen_t size = 0;

    int family() const { return address.ss_family; }
    const sockaddr* raw() const { return reinterpret_cast<const sockaddr*>(&address); }
    void setPort(uint16_t port);
    uint16_t port() const;
    // "127.0.0.1:514" or "[::1]:514".
    std::string text() const;
};

// ADDRESS, ADDRESS:PORT, [IPV6]:PORT or a bare IPv6 literal; defaultPort
// where no port is given. Port 0 is taken (a listener's "any free one").
std::optional<Endpoint> parseEndpoint(std::string_view text, uint16_t defaultPort);

struct ListenOptions {
    int receiveBuffer = 0;  // bytes asked for; 0 keeps the system's default
    bool sharePort = false; // SO_REUSEPORT: several relays on one port
};

// A bound datagram socket that reports kernel drops; at gets the port
// actually bound and granted the receive buffer the kernel gave (as
// SO_RCVBUF reads it back). -1 with errno on failure.
int openListener(Endpoint& at, const ListenOptions& options, int& granted);

inline constexpr size_t kBatchSize = 64;
// Larger than any datagram the box sends, so an oversized one shows.
inline constexpr size_t kSlotSize = 2048;

// Up to kBatchSize datagrams from one recvmmsg.
class ReceiveBatch {
public:
    // Takes what is waiting, at most `most`, without blocking: the number
    // taken, 0 when nothing waits, -1 with errno on failure.
    int receive(int fd, size_t most);
    const uint8_t* data(size_t i) const { return slots_[i]; }
    // The datagram's size; more than kSlotSize when it was cut.
    size_t size(size_t i) const { return sizes_[i]; }
    Endpoint sender(size_t i) const;
    // The socket's running count of datagrams dropped for want of buffer
    // space, as the kernel last reported it.
    uint32_t kernelDrops() const { return drops_; }

private:
    uint8_t slots_[kBatchSize][kSlotSize];
    size_t sizes_[kBatchSize] = {};
    sockaddr_storage from_[kBatchSize] = {};
    socklen_t fromSizes_[kBatchSize] = {};
    alignas(cmsghdr) uint8_t control_[kBatchSize][CMSG_SPACE(sizeof(uint32_t))] = {};
    uint32_t drops_ = 0;
};

// Lines for one address, sent with sendmmsg; the data added must stay put
// until flush.
class SendBatch {
public:
    SendBatch(int fd, const Endpoint& to) : fd_(fd), to_(to) {}
    void add(const char* data, size_t size);
    // Sends everything added; the number of datagrams the kernel took.
    size_t flush();

private:
    int fd_;
    Endpoint to_;
    size_t count_ = 0;
    iovec parts_[kBatchSize] = {};
};

}  // namespace xkt::tools
