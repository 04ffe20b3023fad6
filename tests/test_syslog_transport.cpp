// Syslog transports: datagrams to a socket of the test's, the TLS stream to a
// real syslog-ng, their failure paths and recovery, a collector that never
// answers, the certificate decisions on real chains.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sys/socket.h>
#include <thread>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "collector.h"
#include "log_settings.h"
#include "sandbox.h"
#include "syslog_sender.h"
#include "syslog_tls.h"
#include "xkt_osal.h"

using namespace xkt::log;
using namespace xkt::test;

namespace {

const uint8_t kKey[16] = {0x5a, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// The plaintext behind the first block under kKey: CBC needs only the block
// before, while the first depends on the starting vector the box keeps.
std::string decryptTail(const std::string& datagram) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(datagram.data());
    std::string plain(datagram.size() - 32, '\0');
    int produced = 0;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    EVP_DecryptInit_ex2(context, EVP_aes_128_cbc(), kKey, bytes + 16, nullptr);
    EVP_CIPHER_CTX_set_padding(context, 0);
    EVP_DecryptUpdate(context, reinterpret_cast<uint8_t*>(plain.data()), &produced, bytes + 32, int(plain.size()));
    EVP_CIPHER_CTX_free(context);
    return plain;
}

// A structured line with its octet count, as the TLS stream carries it.
std::string framed(const std::string& message) {
    const std::string body = "<143>1 2026-01-01T00:00:00 - - - - - " + message + "\n";
    return std::to_string(body.size() + 10000).substr(1) + " " + body;
}

std::string loopback(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// Through the channel table, as the log thread hands over a record.
void dispatch(uint32_t type, uint32_t level, const char* message) {
    LogRecord record{0, 0, type, level, {}, {}, "main.c", {}, 42, 0, 7, {}};
    std::strcpy(record.message, message);
    int32_t kind = 1;
    XKT_processLog(&record, &kind);
}

// The collector's socket is the test's.
class SyslogTransportTest : public ::testing::Test {
protected:
    ~SyslogTransportTest() override { close(socket_); }
    void useServer(const std::string& server) { XKT_setCPESysLogParam("STB", nullptr, server.c_str()); }
    // Loopback delivers within sendto: MSG_DONTWAIT finding nothing means nothing was sent.
    std::string next(int flags = 0) {
        const timeval timeout{5, 0};
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char buffer[2048];
        const ssize_t n = recv(socket_, buffer, sizeof buffer, flags);
        return n < 0 ? std::string() : std::string(buffer, size_t(n));
    }

    Sandbox sandbox_;
    uint16_t port_ = 0;
    const int socket_ = loopbackSocket(SOCK_DGRAM, port_);
};

class SyslogCollectorTest : public SyslogTransportTest {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_DFL);  // a SIGPIPE from the library would end the test
        ASSERT_TRUE(makeCert(dir_, "ca", kCaExtensions) && makeCert(dir_, "server", kServerExtensions, "ca") &&
                    trustOnBox(dir_, dir_ + "/ca.pem"));
        ASSERT_TRUE(collector_.start()) << collector_.log();
        std::strcpy(g_macString, "00:11:22:33:44:55");
        XKT_property_set("ro.software", "V100");
        XKT_logRegCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput);
    }
    void useTls() {
        g_iUseHttpsSyslog = 1;
        useServer(loopback(collector_.tlsPort));
    }
    long connections() const {
        return std::stol(capture("grep -c 'connection accepted' '" + dir_ + "/syslog-ng.log'"));
    }

    const std::string dir_ = sandbox_.root();
    Collector collector_{dir_};
};

// Put under a live session as its write BIO: the first write fails as told
// (0 try again, 1 a write of 0, 2 an SSL error), later ones go through.
struct FaultyWrite {
    int mode, fd, calls = 0;

    static int write(BIO* bio, const char* data, int length) {
        auto* self = static_cast<FaultyWrite*>(BIO_get_data(bio));
        if (self->calls++ > 0) return int(send(self->fd, data, size_t(length), MSG_NOSIGNAL));
        if (self->mode == 0) BIO_set_retry_write(bio);
        if (self->mode == 2) ERR_raise(ERR_LIB_BIO, BIO_R_BROKEN_PIPE);
        return self->mode == 1 ? 0 : -1;
    }
};

size_t openDescriptors() { return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})); }

}  // namespace

TEST_F(SyslogTransportTest, PlainStructuredAndEncryptedDatagrams) {
    const std::string line = "<139>Jan 05 10:11:12 00:11:22:33:44:55 STB main.c:1 code:0 up\n";
    EXPECT_EQ(-1, XKT_SysLogOutput(line.c_str()));  // no collector yet
    useServer(loopback(port_));
    EXPECT_EQ(-1, XKT_SysLogOutput(""));
    const uint8_t zeroFirst[16] = {0, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};  // no key: the first byte says
    XKT_logRegAeskeyUpdateCallback(zeroFirst);
    for (int32_t tls : {0, 2}) {  // a switch other than 1 is UDP too
        g_iUseHttpsSyslog = tls;
        EXPECT_EQ(0, XKT_SysLogOutput(line.c_str()));
        EXPECT_EQ(line, next());
    }

    ASSERT_EQ(0, XKT_logRegSTBMonitorCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput, kKey));
    const std::string sixteen = "0123456789abcd\r\n", twenty = "twenty characters!!\n", thirty(29, 'w');
    // {line, datagram size, plaintext behind the first block}: doubled to 32 characters, a
    // whole block of padding; shorter than the 21-character prefix, sent twice; cut at 1023.
    const std::tuple<std::string, size_t, std::string> cases[] = {
        {sixteen, 64, sixteen + std::string(16, '\x10')},
        {twenty, 64, twenty.substr(16) + twenty + std::string(8, '\x08')},
        {thirty + "\n", 80, std::string(5, 'w') + thirty + "\n" + std::string(13, '\x0d')},
        {std::string(1021, 'x'), 1040, std::string(1007, 'x') + "\x01"}};
    for (const auto& [text, size, tail] : cases) {
        ASSERT_EQ(0, XKT_SysLogOutput(text.c_str())) << text;
        const std::string datagram = next();
        ASSERT_EQ(size, datagram.size()) << text;
        EXPECT_EQ(datagram.substr(size - 16), datagram.substr(0, 16)) << "the last block leads";
        EXPECT_EQ(tail, decryptTail(datagram)) << text;
    }
    XKT_SysLogOutput(sixteen.c_str());
    XKT_SysLogOutput(sixteen.c_str());
    EXPECT_NE(next(), next()) << "a fresh starting vector per line";

    useServer("127.0.0.1:syslog");  // port 0
    EXPECT_EQ(-1, XKT_SysLogOutput(line.c_str()));
    EXPECT_EQ("", next(MSG_DONTWAIT));
}

TEST(TlsVerifyCallback, DecisionsOnRealChains) {
    Sandbox sandbox;
    const std::string dir = sandbox.root() + "/", signOnly = "keyUsage=critical,keyCertSign\n";
    ASSERT_TRUE(makeCert(dir, "ca", kCaExtensions) && makeCert(dir, "leaf", kServerExtensions, "ca") &&
                makeCert(dir, "notca", signOnly, "ca") && makeCert(dir, "under", kServerExtensions, "notca") &&
                makeCert(dir, "bareroot", signOnly) && makeCert(dir, "bareleaf", kServerExtensions, "bareroot") &&
                makeCert(dir, "client", "extendedKeyUsage=clientAuth\n", "ca"));
    X509_STORE* store = X509_STORE_new();
    for (const char* name : {"ca", "notca", "bareroot"}) X509_STORE_load_file(store, (dir + name + ".pem").c_str());
    // 0 or the error, checked as the library's context checks a server.
    auto verify = [&](const char* leaf, unsigned long flags, bool ours) {
        BIO* file = BIO_new_file((dir + leaf + ".pem").c_str(), "r");
        X509* cert = PEM_read_bio_X509(file, nullptr, nullptr, nullptr);
        X509_STORE_CTX* context = X509_STORE_CTX_new();
        X509_STORE_CTX_init(context, store, cert, nullptr);
        X509_STORE_CTX_set_purpose(context, X509_PURPOSE_SSL_SERVER);
        X509_STORE_CTX_set_flags(context, flags | X509_V_FLAG_POLICY_CHECK);
        if (ours) X509_STORE_CTX_set_verify_cb(context, [](int ok, X509_STORE_CTX* c) { return tls_session_verify_callback(ok, c); });
        const int result = X509_verify_cert(context) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(context);
        X509_STORE_CTX_free(context);
        X509_free(cert);
        BIO_free(file);
        return result;
    };
    // OpenSSL's decision beside the callback's: a signer without the CA flag is
    // refused; a missing revocation list, a client purpose, no explicit policy pass.
    const std::tuple<const char*, unsigned long, int, int> cases[] = {
        {"under", 0, X509_V_ERR_INVALID_CA, X509_V_ERR_INVALID_CA},
        {"bareleaf", 0, X509_V_OK, X509_V_ERR_INVALID_CA},
        {"leaf", X509_V_FLAG_CRL_CHECK, X509_V_ERR_UNABLE_TO_GET_CRL, X509_V_OK},
        {"client", 0, X509_V_ERR_INVALID_PURPOSE, X509_V_OK},
        {"leaf", X509_V_FLAG_EXPLICIT_POLICY, X509_V_ERR_NO_EXPLICIT_POLICY, X509_V_OK},
    };
    for (const auto& [leaf, flags, openssl, ours] : cases) {
        EXPECT_EQ(openssl, verify(leaf, flags, false)) << leaf << " " << flags;
        EXPECT_EQ(ours, verify(leaf, flags, true)) << leaf << " " << flags;
    }
    X509_STORE_free(store);
}

TEST_F(SyslogCollectorTest, StructuredOverTlsNothingWhenRefusedThenClassicOverUdp) {
    ASSERT_TRUE(makeCert(dir_, "other", kCaExtensions));
    useTls();
    const char* messages[] = {"first", "second", "third", "fourth"};
    for (int i = 0; i < 3; ++i) dispatch(2, 2, messages[i]);
    std::vector<std::string> got = collector_.waitFor(3);
    ASSERT_EQ(3u, got.size()) << collector_.log();
    EXPECT_EQ(1, connections());
    XKT_setCPESysLogParam("STB", nullptr, "");  // no server: the session stays
    EXPECT_TRUE(tlsSessionConnected());
    useTls();  // the same server: torn down all the same
    EXPECT_FALSE(tlsSessionConnected());
    EXPECT_EQ(-1, sendSyslogMessage(std::string(8192, 'x').c_str(), 8192));
    EXPECT_FALSE(tlsSessionConnected());  // refused before connecting
    dispatch(2, 2, messages[3]);
    got = collector_.waitFor(4);
    ASSERT_EQ(4u, got.size());
    EXPECT_EQ(2, connections());
    for (int i = 0; i < 4; ++i) {  // the BOM in the raw text, not in the message
        EXPECT_TRUE(std::regex_match(got[i], std::regex("134 16 6 .*:  " + std::string(messages[i]) + "\t<134>1 \\d{4}-\\d\\d-"
                                                        "\\d\\dT\\d\\d:\\d\\d:\\d\\d - - - - - \xEF\xBB\xBF " + messages[i])))
            << got[i];
    }

    // Refused; under a CA that does not vouch for the collector; a CA file that vouches for nobody.
    closeSyslogConnection();
    const size_t descriptors = openDescriptors();
    const std::string refused = loopback(freePort(SOCK_STREAM));
    const std::pair<std::string, std::string> cases[] = {{refused, dir_ + "/ca.pem"}, {"", dir_ + "/other.pem"}, {"", "/dev/null"}};
    for (const auto& [server, ca] : cases) {
        server.empty() ? useTls() : useServer(server);
        trustOnBox(dir_, ca);
        const std::string secret = framed("secret");
        for (int i = 0; i < 50; ++i) ASSERT_EQ(-1, sendSyslogMessage(secret.c_str(), uint32_t(secret.size()))) << server << ca;
    }
    EXPECT_EQ(descriptors, openDescriptors());  // and LeakSanitizer checks the heap at exit

    // Classic lines over UDP, direct and through the decrypt tool: right after the fifth record.
    g_iUseHttpsSyslog = 0;
    useServer(loopback(collector_.udpPort));
    dispatch(1, 4, "disk full");
    const uint16_t toolPort = freePort(SOCK_DGRAM);
    std::system(("timeout 20 " + binDir() + "/xkt-syslog-decrypt -k 5a0102030405060708090a0b0c0d0e0f -c 1 -p " +
                 std::to_string(toolPort) + " -f " + loopback(collector_.udpPort) + " 2>" + dir_ + "/tool.err &").c_str());
    eventually([&] { return readFile(dir_ + "/tool.err").find("listening on") != std::string::npos; });
    useServer(loopback(toolPort));
    XKT_logRegSTBMonitorCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput, kKey);
    dispatch(1, 4, "disk full");
    got = collector_.waitFor(6);
    ASSERT_EQ(6u, got.size()) << readFile(dir_ + "/tool.err");
    for (const std::string& r : {got[4], got[5]}) {
        EXPECT_EQ("139 17 3 00:11:22:33:44:55 STBV100: main.c:42 code:7 disk full", r.substr(0, r.find('\t')));
    }
}

TEST_F(SyslogCollectorTest, WriteFailuresSetErrnoAndKeepTheProcess) {
    useTls();
    const std::string line = framed("x");
    const int32_t size = int32_t(line.size());
    BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "faulty");
    BIO_meth_set_write(method, FaultyWrite::write);
    BIO_meth_set_ctrl(method, [](BIO*, int command, long, void*) -> long { return command == BIO_CTRL_FLUSH; });
    // Try again (11) writes the same part again; a write of 0 is an abort (103); an SSL error EPIPE.
    const std::pair<int32_t, int> expected[] = {{size, 0}, {0, ECONNABORTED}, {-1, EPIPE}};
    for (int mode = 0; mode < 3; ++mode) {
        closeSyslogConnection();
        ASSERT_EQ(size, sendSyslogMessage(line.c_str(), uint32_t(size)));
        FaultyWrite fault{mode, g_tlsContext.socket};
        BIO* bio = BIO_new(method);
        BIO_set_data(bio, &fault);
        BIO_set_init(bio, 1);
        SSL_set0_wbio(static_cast<SSL*>(g_tlsContext.ssl), bio);
        EXPECT_EQ(expected[mode].first, sendSyslogMessage(line.c_str(), uint32_t(size))) << mode;
        if (mode > 0) {
            EXPECT_EQ(expected[mode].second, errno) << mode;
        }
        EXPECT_EQ(mode == 0 ? 2 : 1, fault.calls) << mode;
        closeSyslogConnection();
    }
    BIO_meth_free(method);
    EXPECT_EQ(4u, collector_.waitFor(4).size());  // one per connection, and the one written again

    // A collector that drops the stream (a bad frame header): broken pipe, no signal.
    ASSERT_EQ(8, sendSyslogMessage("garbage\n", 8));
    EXPECT_TRUE(eventually([&] { return sendSyslogMessage(line.c_str(), uint32_t(size)) < 0 && errno == EPIPE; }));
    EXPECT_TRUE(tlsSessionConnected());  // a failed write does not tear the session down

    // The channel's sender does; its line waits out failed connects (the
    // first retry comes after 1 s) and the collector's restart.
    collector_.stop();
    dispatch(2, 2, "after");
    usleep(1500000);
    ASSERT_TRUE(collector_.start(true)) << collector_.log();
    const std::vector<std::string> got = collector_.waitFor(5);
    ASSERT_EQ(5u, got.size()) << collector_.log();
    EXPECT_NE(std::string::npos, got[4].find("after")) << got[4];
}

TEST_F(SyslogCollectorTest, SettersAndRegistrationsRaceAStreamOfLines) {
    const std::string udp = loopback(collector_.udpPort), tls = loopback(collector_.tlsPort);
    const std::string lines[] = {framed("race"), "<143>Jan 01 00:00:00 h race\n"};
    std::atomic<bool> done{false};
    std::thread stream([&] {
        for (int i = 0; !done; ++i) XKT_SysLogOutput(lines[i % 2].c_str());
    });
    for (int i = 0; i < 200; ++i) {
        g_iUseHttpsSyslog = i % 3 == 0;
        XKT_setCPESysLogParam("RACE", nullptr, (i % 2 ? tls : udp).c_str());
        if (i % 4 == 1) XKT_logRegSTBMonitorCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput, kKey);
        if (i % 4 == 2) XKT_logRegAeskeyUpdateCallback(kKey);
        if (i % 4 == 3) XKT_logRegCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput);
        if (i % 5 == 0) closeSyslogConnection();
        usleep(500);
    }
    done = true;
    stream.join();
    EXPECT_FALSE(collector_.waitFor(1).empty());
}

// A collector that completes TCP's handshake and then never reads: TLS's
// handshake hangs on it, the local file still gets every line at once, and
// what the queue cannot hold is counted.
TEST_F(SyslogCollectorTest, SilentCollectorCostsTheLocalFileNothing) {
    ASSERT_EQ(0, std::system(("mkdir -p " + dir_ + "/tmp/log").c_str()));
    g_logFileMutex = XKT_mutex_create();
    uint16_t port = 0;
    const int listener = loopbackSocket(SOCK_STREAM, port);
    ASSERT_EQ(0, listen(listener, 4));
    XKT_logRegCallback(2, XKT_SyslogFormatter, XKT_logFileOutput);
    g_iUseHttpsSyslog = 1;
    useServer(loopback(port));

    constexpr size_t kLines = kSyslogQueueLines + 44;
    std::atomic<bool> done{false};
    std::thread logThread([&] {
        for (size_t i = 0; i < kLines; ++i) dispatch(2, 2, "local");
        done = true;
    });
    eventually([&] { return done.load(); });
    (done ? logThread.join() : logThread.detach());
    ASSERT_TRUE(done) << "the channels stalled on the collector";
    EXPECT_EQ(std::to_string(kLines) + "\n", capture("cat " + dir_ + "/tmp/log/* | grep -c ' local$'"));
    const SyslogSenderCounts counts = syslogSenderCounts();
    EXPECT_EQ(kSyslogQueueLines, counts.queued);
    EXPECT_EQ(kLines - kSyslogQueueLines, counts.overflowed);
    EXPECT_EQ(0u, counts.sent);
    close(listener);
}
