// The syslog output, line by line: plain UDP, encrypted UDP and the TLS
// stream to loopback receivers, beside the anchor measured in the same run,
// one plain sendto of the same line. The encrypted line should cost at most
// twice the anchor. A TLS line is measured twice: what the log thread pays
// (queueing) and what the sender thread pays (the record on the stream).
#include <benchmark/benchmark.h>

#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

#include <openssl/ssl.h>

#include "bench_common.h"
#include "collector.h"
#include "log_settings.h"
#include "syslog_sender.h"
#include "syslog_transport.h"
#include "xkt_log.h"
#include "xkt_osal.h"

namespace {

const std::string kClassicLine =
    "<139>Dec 05 19:56:35 00:11:22:33:44:55 STBV100R001 player.c:1234 code:0 "
    "stream 7 buffering took 312 ms, bit rate 8000 kbit/s\n";
const std::string kStructuredBody =
    "<139>1 2026-12-05T19:56:35 - - - - - \xEF\xBB\xBF "
    "stream 7 buffering took 312 ms, bit rate 8000 kbit/s\n";
const std::string kStructuredLine = "0" + std::to_string(kStructuredBody.size()) + " " + kStructuredBody;
static_assert(sizeof "stream 7 buffering took 312 ms, bit rate 8000 kbit/s\n" + 44 < 1000 + 1);
const uint8_t kKey[16] = {0x5a, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// The collector's side of the stream: reads and drops, one connection at a time.
class TlsSink {
public:
    explicit TlsSink(const std::string& dir) : context_(SSL_CTX_new(TLS_server_method())) {
        SSL_CTX_use_certificate_file(context_, (dir + "/server.pem").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(context_, (dir + "/server.key").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_set_num_tickets(context_, 0);  // nothing written after the handshake
        listener_ = xkt::test::loopbackSocket(SOCK_STREAM, port_);
        listen(listener_, 4);
        thread_ = std::thread([this] {
            for (int fd; (fd = accept(listener_, nullptr, nullptr)) >= 0; close(fd)) {
                SSL* ssl = SSL_new(context_);
                SSL_set_fd(ssl, fd);
                char buffer[16384];
                if (SSL_accept(ssl) == 1) {
                    while (SSL_read(ssl, buffer, sizeof buffer) > 0) {}
                }
                SSL_free(ssl);
            }
        });
    }
    ~TlsSink() {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
        SSL_CTX_free(context_);
    }
    uint16_t port() const { return port_; }

private:
    SSL_CTX* context_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

uint16_t g_udpPort = 0;
uint16_t g_tlsPort = 0;

void useCollector(uint16_t port, int32_t tls, const uint8_t* key) {
    static const uint8_t kNoKey[16] = {};
    const std::string server = "127.0.0.1:" + std::to_string(port);
    XKT_setCPESysLogParam("STB", nullptr, server.c_str());
    xkt::log::g_iUseHttpsSyslog = tls;
    XKT_logRegAeskeyUpdateCallback(key != nullptr ? key : kNoKey);
}

void BM_PlainSendto(benchmark::State& state) {
    uint16_t unused = 0;
    const int fd = xkt::test::loopbackSocket(SOCK_DGRAM, unused);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(g_udpPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (auto _ : state) {
        benchmark::DoNotOptimize(XKT_sock_sendto(fd, kClassicLine.data(),
                                                 static_cast<uint32_t>(kClassicLine.size()), 0, &to,
                                                 sizeof to));
    }
    close(fd);
}
BENCHMARK(BM_PlainSendto);

void runOutput(benchmark::State& state, const std::string& line) {
    for (auto _ : state) benchmark::DoNotOptimize(XKT_SysLogOutput(line.c_str()));
    state.SetItemsProcessed(state.iterations());
}

void BM_SysLogOutputPlainUdp(benchmark::State& state) {
    useCollector(g_udpPort, 0, nullptr);
    runOutput(state, kClassicLine);
}
BENCHMARK(BM_SysLogOutputPlainUdp);

void BM_SysLogOutputEncryptedUdp(benchmark::State& state) {
    useCollector(g_udpPort, 0, kKey);
    runOutput(state, kClassicLine);
}
BENCHMARK(BM_SysLogOutputEncryptedUdp);

// What a TLS line costs the log thread: it is queued, and the sender thread
// writes it behind. Batches that fit the queue, drained between batches
// outside the timing, so every line measured is one accepted.
void BM_SysLogOutputTls(benchmark::State& state) {
    using xkt::log::syslogSenderCounts;
    constexpr size_t kBatch = xkt::log::kSyslogQueueLines / 2;
    useCollector(g_tlsPort, 1, nullptr);
    for (auto _ : state) {
        for (size_t i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(XKT_SysLogOutput(kStructuredLine.c_str()));
        state.PauseTiming();
        for (auto c = syslogSenderCounts(); c.sent + c.abandoned < c.queued; c = syslogSenderCounts()) usleep(100);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kBatch});
    state.counters["overflowed"] = static_cast<double>(syslogSenderCounts().overflowed);
}
BENCHMARK(BM_SysLogOutputTls);

// What a line costs the sender thread: one record on the stream.
void BM_TlsStreamWrite(benchmark::State& state) {
    useCollector(g_tlsPort, 1, nullptr);
    const auto length = static_cast<uint32_t>(kStructuredLine.size());
    if (sendSyslogMessage(kStructuredLine.c_str(), length) != int32_t(length)) {
        state.SkipWithError("no TLS session");
    }
    for (auto _ : state) benchmark::DoNotOptimize(sendSyslogMessage(kStructuredLine.c_str(), length));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TlsStreamWrite);

}  // namespace

int main(int argc, char** argv) {
    // The sink's own writes may meet a client that has just left.
    signal(SIGPIPE, SIG_IGN);
    const std::string root = xkt::bench::makeBenchRoot();
    if (!xkt::test::makeCert(root, "ca", xkt::test::kCaExtensions) ||
        !xkt::test::makeCert(root, "server", xkt::test::kServerExtensions, "ca") ||
        !xkt::test::trustOnBox(root, root + "/ca.pem")) {
        return 1;
    }
    // Nobody reads the datagrams: loopback drops them at the full queue,
    // after the sender has done all its work.
    const int udp = xkt::test::loopbackSocket(SOCK_DGRAM, g_udpPort);
    int rc = 0;
    {
        TlsSink sink(root);
        g_tlsPort = sink.port();
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv)) rc = 1;
        if (rc == 0) benchmark::RunSpecifiedBenchmarks();
        closeSyslogConnection();  // lets the sink's reader see the end
    }
    close(udp);
    xkt::bench::removeBenchRoot(root);
    return rc;
}
