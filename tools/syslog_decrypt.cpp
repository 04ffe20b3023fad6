// xkt-syslog-decrypt: reads the box's AES-encrypted syslog datagrams and
// gives back the lines, on standard output or as plain syslog datagrams to
// a collector, so an operator can put it in front of one.
//
// The box does not send its random starting vector, so decrypting with a
// vector of zeros spoils the first 16 bytes only; the box repeats the first
// 21 characters of the line in front of it for exactly that reason.
#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "tool_cli.h"

namespace {

constexpr size_t kBlock = 16;
constexpr size_t kPrefixChars = 21;
constexpr size_t kDatagramMax = kBlock + 1024;
constexpr xkt::tools::Tool kTool{
    "xkt-syslog-decrypt",
    "usage: xkt-syslog-decrypt -k KEY [-l ADDRESS] [-p PORT] [-f ADDRESS[:PORT]] [-c COUNT]\n"
    "Reads the box's AES-encrypted syslog datagrams and prints their lines.\n"
    "  -k  the box's 16-byte syslog key, 32 hexadecimal digits; its first byte\n"
    "      is never 00 (the box reads 00 there as \"no key\")\n"
    "  -l  IPv4 address to listen on (default 127.0.0.1)\n"
    "  -p  UDP port to listen on (default 514; 0 picks a free one)\n"
    "  -f  forward each line as a plain syslog datagram instead of printing it\n"
    "      (default port 514)\n"
    "  -c  stop after COUNT datagrams\n"};

struct Options {
    uint8_t key[kBlock] = {};
    bool haveKey = false;
    sockaddr_in listenAt{};
    sockaddr_in forwardTo{};
    bool forward = false;
    long count = -1;
};

bool parseKey(std::string_view text, uint8_t (&key)[kBlock]) {
    if (text.size() != 2 * kBlock) return false;
    for (size_t i = 0; i < kBlock; ++i) {
        auto [end, problem] = std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, key[i], 16);
        if (problem != std::errc() || end != text.data() + 2 * i + 2) return false;
    }
    return true;
}

// ADDRESS[:PORT], an IPv4 address in dotted form.
bool parseAddress(std::string_view text, uint16_t defaultPort, sockaddr_in& address) {
    const size_t colon = text.find(':');
    const std::string host(text.substr(0, colon));
    auto port = colon == std::string_view::npos ? std::optional<long>(defaultPort)
                                                : xkt::tools::parseNumber(text.substr(colon + 1), 1, 65535);
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port.value_or(0)));
    return port && inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1;
}

// Fills options; a status to exit with when the tool must not go on.
std::optional<int> parseOptions(int argc, char** argv, Options& options) {
    const char* listenAddress = "127.0.0.1";
    long port = 514;
    int option;
    while ((option = getopt_long(argc, argv, ":k:l:p:f:c:h", xkt::tools::kHelpOnly, nullptr)) != -1) {
        switch (option) {
        case 'k':
            if (!parseKey(optarg, options.key)) return kTool.fail("the key must be 32 hexadecimal digits");
            if (options.key[0] == 0) return kTool.fail("a key whose first byte is 00 means \"no key\" on the box");
            options.haveKey = true;
            break;
        case 'l': listenAddress = optarg; break;
        case 'p': {
            auto number = xkt::tools::parseNumber(optarg, 0, 65535);
            if (!number) return kTool.badValue(option, optarg);
            port = *number;
            break;
        }
        case 'f':
            if (!parseAddress(optarg, 514, options.forwardTo)) return kTool.badValue(option, optarg);
            options.forward = true;
            break;
        case 'c': {
            auto number = xkt::tools::parseNumber(optarg, 1, LONG_MAX);
            if (!number) return kTool.badValue(option, optarg);
            options.count = *number;
            break;
        }
        case 'h': return kTool.help();
        default: return kTool.optionError(option, argv);
        }
    }
    if (optind < argc) return kTool.fail("unexpected argument '%s'", argv[optind]);
    if (!options.haveKey) return kTool.fail("needs the key (-k KEY)");
    if (!parseAddress(listenAddress, 0, options.listenAt)) return kTool.badValue('l', listenAddress);
    options.listenAt.sin_port = htons(static_cast<uint16_t>(port));
    return std::nullopt;
}

// The line inside one datagram, or an empty view and the reason.
std::string_view recoverLine(EVP_CIPHER_CTX* context, const uint8_t* datagram, size_t size,
                             uint8_t* plain, const char*& reason) {
    const size_t padded = size - kBlock;
    if (size < 2 * kBlock || size > kDatagramMax || padded % kBlock != 0) {
        reason = "not a whole number of blocks";
        return {};
    }
    const uint8_t zeros[kBlock] = {};
    int produced = 0;
    if (EVP_DecryptInit_ex2(context, nullptr, nullptr, zeros, nullptr) != 1 ||
        EVP_DecryptUpdate(context, plain, &produced, datagram + kBlock, static_cast<int>(padded)) != 1) {
        reason = "decryption failed";
        return {};
    }
    const uint8_t pad = plain[padded - 1];
    bool padOk = pad >= 1 && pad <= kBlock;
    for (size_t i = 0; padOk && i < pad; ++i) padOk = plain[padded - 1 - i] == pad;
    if (!padOk) {
        reason = "bad padding (wrong key?)";
        return {};
    }
    const size_t length = padded - pad;
    // A line shorter than the prefix was sent twice; otherwise the prefix is
    // 21 characters. Either way its visible part must repeat the line's.
    const size_t prefix = length < 2 * kPrefixChars ? length / 2 : kPrefixChars;
    if (length < 2 * kPrefixChars && length % 2 != 0) {
        reason = "text is neither a prefix and a line nor a line twice";
        return {};
    }
    if (prefix < kBlock) {
        reason = "line too short to survive the unknown starting vector";
        return {};
    }
    if (std::memcmp(plain + kBlock, plain + prefix + kBlock, prefix - kBlock) != 0) {
        reason = "repeated prefix does not match the line";
        return {};
    }
    return {reinterpret_cast<const char*>(plain) + prefix, length - prefix};
}

int openSocket(const sockaddr_in* bindTo) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bindTo != nullptr &&
        bind(fd, reinterpret_cast<const sockaddr*>(bindTo), sizeof *bindTo) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (auto status = parseOptions(argc, argv, options)) return *status;
    sockaddr_in listenAt = options.listenAt;
    char shown[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &listenAt.sin_addr, shown, sizeof shown);
    const int in = openSocket(&listenAt);
    const int out = options.forward ? openSocket(nullptr) : -1;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    if (in < 0 || (options.forward && out < 0) || context == nullptr ||
        EVP_DecryptInit_ex2(context, EVP_aes_128_cbc(), options.key, nullptr, nullptr) != 1) {
        return kTool.error("cannot listen on %s:%u: %s", shown, ntohs(listenAt.sin_port),
                           std::strerror(errno));
    }
    EVP_CIPHER_CTX_set_padding(context, 0);
    socklen_t boundSize = sizeof listenAt;
    getsockname(in, reinterpret_cast<sockaddr*>(&listenAt), &boundSize);
    std::fprintf(stderr, "xkt-syslog-decrypt: listening on %s:%u\n", shown, ntohs(listenAt.sin_port));

    uint8_t datagram[kDatagramMax + 1], plain[kDatagramMax];
    for (long seen = 0; options.count < 0 || seen < options.count; ++seen) {
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        ssize_t size = recvfrom(in, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from),
                                &fromSize);
        if (size < 0) {
            if (errno == EINTR) continue;
            std::perror("xkt-syslog-decrypt: recvfrom");
            return 1;
        }
        const char* reason = "";
        std::string_view line = recoverLine(context, datagram, static_cast<size_t>(size), plain, reason);
        if (line.empty()) {
            char peer[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &from.sin_addr, peer, sizeof peer);
            std::fprintf(stderr, "xkt-syslog-decrypt: skipped %zd bytes from %s:%u: %s\n", size,
                         peer, ntohs(from.sin_port), reason);
            continue;
        }
        if (out >= 0) {
            sendto(out, line.data(), line.size(), 0,
                   reinterpret_cast<const sockaddr*>(&options.forwardTo), sizeof options.forwardTo);
        } else {
            std::fwrite(line.data(), 1, line.size(), stdout);
            if (line.back() != '\n') std::fputc('\n', stdout);
            std::fflush(stdout);
        }
    }
    EVP_CIPHER_CTX_free(context);
    return 0;
}
