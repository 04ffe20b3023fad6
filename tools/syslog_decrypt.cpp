// xkt-syslog-decrypt: reads the box's AES-encrypted syslog datagrams and
// gives back the lines, on standard output or as plain syslog datagrams to
// a collector, so an operator can put it in front of one, at fleet rate:
// datagrams come in and go out in batches, the receive buffer can be made
// to hold a burst, several relays may share a port, and counters of what
// came, went and was lost are printed on SIGUSR1 and on the way out.
//
// The box does not send its random starting vector, so decrypting with a
// vector of zeros spoils the first 16 bytes only; the box repeats the first
// 21 characters of the line in front of it for exactly that reason.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <unistd.h>

#include <openssl/evp.h>

#include "relay_socket.h"
#include "tool_cli.h"

namespace {

using xkt::tools::Endpoint;

constexpr size_t kBlock = 16;
constexpr size_t kPrefixChars = 21;
constexpr size_t kDatagramMax = kBlock + 1024;
// Beyond these, undecryptable datagrams are only counted: a flood of them
// must not become a flood on stderr.
constexpr long kSkipsShown = 10;
constexpr xkt::tools::Tool kTool{
    "xkt-syslog-decrypt",
    "usage: xkt-syslog-decrypt -k KEY | -K FILE [-l ADDRESS[:PORT]] [-p PORT] [-f ADDRESS[:PORT]]\n"
    "                          [-c COUNT] [--rcvbuf BYTES] [--reuseport]\n"
    "Reads the box's AES-encrypted syslog datagrams and prints their lines.\n"
    "  -k  the box's 16-byte syslog key, 32 hexadecimal digits; its first byte\n"
    "      is never 00 (the box reads 00 there as \"no key\")\n"
    "  -K  read the key from the first line of FILE (it then stays out of ps)\n"
    "  -l  address to listen on, IPv4 or IPv6 ([::1]:5514); default 127.0.0.1\n"
    "  -p  UDP port to listen on (default 514; 0 picks a free one)\n"
    "  -f  forward each line as a plain syslog datagram instead of printing it\n"
    "      (default port 514)\n"
    "  -c  stop after COUNT datagrams\n"
    "  --rcvbuf BYTES  receive buffer to ask for (past net.core.rmem_max where\n"
    "      the process may); the size granted is reported\n"
    "  --reuseport     share the port with other relays (SO_REUSEPORT)\n"
    "On SIGUSR1 and on exit one line counts the datagrams received, forwarded,\n"
    "dropped by the kernel for want of buffer space, and undecryptable.\n"};

constexpr option kLongOptions[] = {{"help", no_argument, nullptr, 'h'},
                                   {"rcvbuf", required_argument, nullptr, 'b'},
                                   {"reuseport", no_argument, nullptr, 'r'},
                                   {nullptr, 0, nullptr, 0}};

struct Options {
    uint8_t key[kBlock] = {};
    bool haveKey = false;
    Endpoint listenAt;
    std::optional<Endpoint> forwardTo;
    xkt::tools::ListenOptions listen;
    long count = -1;
};

struct Counters {
    uint64_t received = 0;
    uint64_t forwarded = 0;
    uint64_t dropped = 0;
    uint64_t undecryptable = 0;
};

volatile sig_atomic_t g_stopAsked = 0;
volatile sig_atomic_t g_countsAsked = 0;

bool parseKey(std::string_view text, uint8_t (&key)[kBlock]) {
    if (text.size() != 2 * kBlock) return false;
    for (size_t i = 0; i < kBlock; ++i) {
        auto [end, problem] = std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, key[i], 16);
        if (problem != std::errc() || end != text.data() + 2 * i + 2) return false;
    }
    return true;
}

std::optional<int> takeKey(std::string_view text, Options& options) {
    if (!parseKey(text, options.key)) return kTool.fail("the key must be 32 hexadecimal digits");
    if (options.key[0] == 0) return kTool.fail("a key whose first byte is 00 means \"no key\" on the box");
    options.haveKey = true;
    return std::nullopt;
}

std::optional<int> takeKeyFile(const char* path, Options& options) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) return kTool.error("cannot read the key file %s", path);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return takeKey(line, options);
}

// Fills options; a status to exit with when the tool must not go on.
std::optional<int> parseOptions(int argc, char** argv, Options& options) {
    const char* listenAddress = "127.0.0.1";
    std::optional<long> port;
    int option;
    while ((option = getopt_long(argc, argv, ":k:K:l:p:f:c:h", kLongOptions, nullptr)) != -1) {
        std::optional<int> problem;
        switch (option) {
        case 'k': problem = takeKey(optarg, options); break;
        case 'K': problem = takeKeyFile(optarg, options); break;
        case 'l': listenAddress = optarg; break;
        case 'p':
            if (!(port = xkt::tools::parseNumber(optarg, 0, 65535))) return kTool.badValue(option, optarg);
            break;
        case 'f':
            options.forwardTo = xkt::tools::parseEndpoint(optarg, 514);
            if (!options.forwardTo || options.forwardTo->port() == 0) {
                return kTool.badValue(option, optarg);
            }
            break;
        case 'c':
            if (!xkt::tools::assign(xkt::tools::parseNumber(optarg, 1, LONG_MAX), options.count)) {
                return kTool.badValue(option, optarg);
            }
            break;
        case 'b':
            if (!xkt::tools::assign(xkt::tools::parseNumber(optarg, 1, INT_MAX / 2),
                                    options.listen.receiveBuffer)) {
                return kTool.fail("bad value '%s' for --rcvbuf", optarg);
            }
            break;
        case 'r': options.listen.sharePort = true; break;
        case 'h': return kTool.help();
        default: return kTool.optionError(option, argv);
        }
        if (problem) return problem;
    }
    if (optind < argc) return kTool.fail("unexpected argument '%s'", argv[optind]);
    if (!options.haveKey) return kTool.fail("needs the key (-k KEY or -K FILE)");
    auto listenAt = xkt::tools::parseEndpoint(listenAddress, 514);
    if (!listenAt) return kTool.badValue('l', listenAddress);
    options.listenAt = *listenAt;
    if (port) options.listenAt.setPort(static_cast<uint16_t>(*port));
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

void onSignal(int signal) {
    if (signal == SIGUSR1) {
        g_countsAsked = 1;
    } else {
        g_stopAsked = 1;
    }
}

// The signals arrive only while the relay waits in ppoll, where the mask
// given unblocks them: none is missed between a check and the wait.
sigset_t catchSignals() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigset_t caught, waiting;
    sigemptyset(&caught);
    for (int signal : {SIGTERM, SIGINT, SIGUSR1}) {
        sigaction(signal, &action, nullptr);
        sigaddset(&caught, signal);
    }
    sigprocmask(SIG_BLOCK, &caught, &waiting);
    for (int signal : {SIGTERM, SIGINT, SIGUSR1}) sigdelset(&waiting, signal);
    return waiting;
}

void printCounters(const Counters& counts) {
    std::fprintf(stderr,
                 "xkt-syslog-decrypt: received %" PRIu64 " forwarded %" PRIu64 " dropped %" PRIu64
                 " undecryptable %" PRIu64 "\n",
                 counts.received, counts.forwarded, counts.dropped, counts.undecryptable);
    std::fflush(stderr);
}

class Relay {
public:
    Relay(const Options& options, int in, int out, EVP_CIPHER_CTX* context)
        : options_(options), in_(in), context_(context),
          sender_(out, options.forwardTo.value_or(Endpoint{})) {}

    // Runs until a stop signal or the count; the exit status.
    int run(const sigset_t& waiting) {
        while (g_stopAsked == 0 && left() > 0) {
            if (g_countsAsked != 0) {
                g_countsAsked = 0;
                printCounters(counts_);
            }
            pollfd ready{in_, POLLIN, 0};
            if (ppoll(&ready, 1, nullptr, &waiting) < 0 && errno != EINTR) {
                return kTool.error("poll: %s", std::strerror(errno));
            }
            if (!relayWaiting()) return kTool.error("recvmmsg: %s", std::strerror(errno));
        }
        printCounters(counts_);
        return 0;
    }

private:
    uint64_t left() const {
        return options_.count < 0 ? UINT64_MAX : static_cast<uint64_t>(options_.count) - counts_.received;
    }

    // Decrypts and passes on what waits; false on a receive error.
    bool relayWaiting() {
        const uint64_t most = std::min<uint64_t>(left(), xkt::tools::kBatchSize);
        const int taken = batch_.receive(in_, static_cast<size_t>(most));
        if (taken < 0) return errno == EINTR;
        for (size_t i = 0; i < static_cast<size_t>(taken); ++i) pass(i);
        if (options_.forwardTo) {
            counts_.forwarded += sender_.flush();
        } else {
            std::fflush(stdout);
        }
        counts_.received += static_cast<uint64_t>(taken);
        counts_.dropped = batch_.kernelDrops();
        return true;
    }

    void pass(size_t i) {
        const char* reason = "";
        const std::string_view line =
            recoverLine(context_, batch_.data(i), batch_.size(i), plain_[i], reason);
        if (line.empty()) {
            if (++counts_.undecryptable <= kSkipsShown) {
                std::fprintf(stderr, "xkt-syslog-decrypt: skipped %zu bytes from %s: %s%s\n",
                             batch_.size(i), batch_.sender(i).text().c_str(), reason,
                             counts_.undecryptable == kSkipsShown ? " (further ones only counted)" : "");
            }
        } else if (options_.forwardTo) {
            sender_.add(line.data(), line.size());
        } else {
            std::fwrite(line.data(), 1, line.size(), stdout);
            if (line.back() != '\n') std::fputc('\n', stdout);
            ++counts_.forwarded;
        }
    }

    const Options& options_;
    int in_;
    EVP_CIPHER_CTX* context_;
    xkt::tools::ReceiveBatch batch_;
    xkt::tools::SendBatch sender_;
    uint8_t plain_[xkt::tools::kBatchSize][xkt::tools::kSlotSize] = {};
    Counters counts_;
};

struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) close(fd);
    }
};

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (auto status = parseOptions(argc, argv, options)) return *status;
    const std::string shown = options.listenAt.text();
    int granted = 0;
    const FileDescriptor in{xkt::tools::openListener(options.listenAt, options.listen, granted)};
    if (in.fd < 0) return kTool.error("cannot listen on %s: %s", shown.c_str(), std::strerror(errno));
    const int family = options.forwardTo ? options.forwardTo->family() : AF_UNSPEC;
    const FileDescriptor out{options.forwardTo ? socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1};
    if (options.forwardTo && out.fd < 0) {
        return kTool.error("cannot make the forwarding socket: %s", std::strerror(errno));
    }
    CipherContext context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (context == nullptr ||
        EVP_DecryptInit_ex2(context.get(), EVP_aes_128_cbc(), options.key, nullptr, nullptr) != 1) {
        return kTool.error("cannot set up AES-128-CBC");
    }
    EVP_CIPHER_CTX_set_padding(context.get(), 0);
    const sigset_t waiting = catchSignals();
    std::fprintf(stderr, "xkt-syslog-decrypt: listening on %s (receive buffer %d bytes)\n",
                 options.listenAt.text().c_str(), granted);
    // Large enough for the relay's batches and plain texts, so on the heap.
    auto relay = std::make_unique<Relay>(options, in.fd, out.fd, context.get());
    return relay->run(waiting);
}
