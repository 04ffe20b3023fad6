// Syslog transports: the datagrams against a socket of the test's, the TLS
// stream against a real syslog-ng, its failure paths, and the certificate
// decisions on real chains.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <map>
#include <thread>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "collector.h"
#include "log_entries.h"
#include "log_init.h"
#include "log_model.h"
#include "sandbox.h"
#include "syslog_transport.h"

using namespace xkt::log;
using namespace xkt::test;

namespace {

const uint8_t kKey[16] = {0x5a, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const uint8_t kOtherKey[16] = {0xc3, 0xff, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 1};
constexpr const char* kMac = "00:11:22:33:44:55";

// The collector's socket, played by the test.
struct UdpReceiver {
    uint16_t port = 0;
    const int fd = loopbackSocket(SOCK_DGRAM, port);
    const std::string server = "127.0.0.1:" + std::to_string(port);
    ~UdpReceiver() { close(fd); }
    // Loopback delivers within sendto: MSG_DONTWAIT finding nothing means nothing was sent.
    std::string next(int flags = 0) {
        const timeval timeout{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char buffer[2048];
        ssize_t n = recv(fd, buffer, sizeof buffer, flags);
        return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
    }
};

// What follows the leading block, decrypted; the first plaintext block is
// lost, as the box keeps its starting vector.
std::string decryptAfterFirstBlock(const std::string& datagram, const uint8_t* key) {
    const uint8_t zeros[16] = {};
    std::string plain(datagram.size() - 16, '\0');
    int produced = 0;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    EVP_DecryptInit_ex2(context, EVP_aes_128_cbc(), key, zeros, nullptr);
    EVP_CIPHER_CTX_set_padding(context, 0);
    EVP_DecryptUpdate(context, reinterpret_cast<uint8_t*>(plain.data()), &produced,
                      reinterpret_cast<const uint8_t*>(datagram.data()) + 16, static_cast<int>(plain.size()));
    EVP_CIPHER_CTX_free(context);
    return plain.substr(16);
}

// A structured line with its octet count, as the TLS stream carries it.
std::string framed(const std::string& message) {
    const std::string body = "<143>1 2026-01-01T00:00:00 - - - - - " + message + "\n";
    return std::to_string(body.size() + 10000).substr(1) + " " + body;
}

// Through the channel table, as the log thread hands over a record.
void dispatch(uint32_t type, uint32_t level, const char* message) {
    LogRecord record{};
    record.type = type;
    record.level = level;
    std::strcpy(record.file, "main.c");
    record.line = 42;
    record.code = 7;
    std::strcpy(record.message, message);
    char item[XKT_LOG_ITEM_SIZE] = {};
    std::memcpy(item, &record, sizeof record);
    int32_t kind = 1;
    XKT_processLog(item, &kind);
}

// xkt-syslog-decrypt with kKey on a free port; the port, once it listens.
uint16_t startDecryptTool(const std::string& dir, const std::string& options) {
    const uint16_t port = freePort(SOCK_DGRAM);
    std::system(("timeout 20 " + binDir() + "/xkt-syslog-decrypt -k 5a0102030405060708090a0b0c0d0e0f -p " +
                 std::to_string(port) + " " + options + " 2>" + dir + "/tool.err &").c_str());
    for (int i = 0; i < 500 && readFile(dir + "/tool.err").empty(); ++i) usleep(10000);
    return port;
}

size_t openDescriptors() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

class SyslogTransportTest : public ::testing::Test {
protected:
    void useServer(const std::string& server) { XKT_setCPESysLogParam("STB", nullptr, server.c_str()); }

    Sandbox sandbox_;
    UdpReceiver receiver_;
};

}  // namespace

TEST_F(SyslogTransportTest, PlainDatagramIsTheLineAsItStands) {
    const std::string line = "<139>Jan 05 10:11:12 00:11:22:33:44:55 STB main.c:1 code:0 up\n";
    EXPECT_EQ(-1, XKT_SysLogOutput(line.c_str()));  // no collector yet
    useServer(receiver_.server);
    EXPECT_EQ(-1, XKT_SysLogOutput(""));
    EXPECT_EQ(-1, XKT_SysLogOutput(nullptr));
    // Only the first byte says whether a key is set.
    const uint8_t zeroFirst[16] = {0, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    XKT_logRegAeskeyUpdateCallback(zeroFirst);
    EXPECT_EQ(0, XKT_SysLogOutput(line.c_str()));
    EXPECT_EQ(line, receiver_.next());
    EXPECT_EQ("", receiver_.next(MSG_DONTWAIT));

    useServer("127.0.0.1:syslog");  // port 0: nothing goes out
    EXPECT_EQ(-1, XKT_SysLogOutput(line.c_str()));
    EXPECT_EQ("", receiver_.next(MSG_DONTWAIT));
}

TEST_F(SyslogTransportTest, EncryptedDatagramLayout) {
    useServer(receiver_.server);
    ASSERT_EQ(0, XKT_logRegSTBMonitorCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput, kKey));
    const std::string sixteen = "0123456789abcd\r\n", twenty = "twenty characters!!\n", thirty(29, 'w');
    const struct {
        std::string line;
        size_t size;
        std::string tail;  // the plaintext behind the first block
    } cases[] = {
        // Doubled to 32 characters: a whole block of padding.
        {sixteen, 64, sixteen + std::string(16, '\x10')},
        // Shorter than the 21-character prefix: the line twice.
        {twenty, 64, twenty.substr(16) + twenty + std::string(8, '\x08')},
        {thirty + "\n", 80, std::string(5, 'w') + thirty + "\n" + std::string(13, '\x0d')},
        // The text stops at 1023 characters, so the line is cut.
        {std::string(1021, 'x'), 1040, std::string(1007, 'x') + "\x01"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(0, XKT_SysLogOutput(c.line.c_str())) << c.line;
        const std::string datagram = receiver_.next();
        ASSERT_EQ(c.size, datagram.size()) << c.line;
        EXPECT_EQ(datagram.substr(c.size - 16), datagram.substr(0, 16)) << "the last block leads";
        EXPECT_EQ(c.tail, decryptAfterFirstBlock(datagram, kKey)) << c.line;
    }
    XKT_SysLogOutput(sixteen.c_str());
    XKT_SysLogOutput(sixteen.c_str());
    EXPECT_NE(receiver_.next(), receiver_.next()) << "a fresh starting vector per line";
    // A new key takes effect on the next line; any registration forgets it.
    XKT_logRegAeskeyUpdateCallback(kOtherKey);
    XKT_SysLogOutput(sixteen.c_str());
    EXPECT_EQ(cases[0].tail, decryptAfterFirstBlock(receiver_.next(), kOtherKey));
    XKT_logRegCallback(1, nullptr, nullptr);
    XKT_SysLogOutput(sixteen.c_str());
    EXPECT_EQ(sixteen, receiver_.next());
}

TEST_F(SyslogTransportTest, StructuredLinesGoOverUdpUnlessTheSwitchIsOne) {
    useServer(receiver_.server);
    XKT_logRegCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput);
    g_iUseHttpsSyslog = 2;
    dispatch(1, 4, "disk full");
    const std::string datagram = receiver_.next(), tail = " - - - - - \xEF\xBB\xBF disk full\n";
    ASSERT_GT(datagram.size(), 12 + tail.size());
    EXPECT_EQ(std::to_string(datagram.size() - 5 + 10000).substr(1) + " <139>1 ", datagram.substr(0, 12));
    EXPECT_EQ(tail, datagram.substr(datagram.size() - tail.size()));
    dispatch(1, 6, "no severity, no line");  // the formatter leaves the buffer empty
    EXPECT_EQ("", receiver_.next(MSG_DONTWAIT));
}

TEST(TlsVerifyCallback, DecisionsOnRealChains) {
    Sandbox sandbox;
    const std::string dir = sandbox.root(), signOnly = "keyUsage=critical,keyCertSign\n";
    ASSERT_TRUE(makeCert(dir, "ca", kCaExtensions) && makeCert(dir, "leaf", kServerExtensions, "ca") &&
                makeCert(dir, "other", kCaExtensions) && makeCert(dir, "stranger", kServerExtensions, "other") &&
                makeCert(dir, "notca", signOnly, "ca") && makeCert(dir, "under", kServerExtensions, "notca") &&
                makeCert(dir, "bareroot", signOnly) && makeCert(dir, "bareleaf", kServerExtensions, "bareroot") &&
                makeCert(dir, "client", "extendedKeyUsage=clientAuth\n", "ca"));
    std::map<std::string, X509*> certs;
    for (const char* name : {"ca", "leaf", "stranger", "notca", "under", "bareroot", "bareleaf", "client"}) {
        BIO* file = BIO_new_file((dir + "/" + name + ".pem").c_str(), "r");
        certs[name] = PEM_read_bio_X509(file, nullptr, nullptr, nullptr);
        BIO_free(file);
    }
    // {result, error} of leaf (over an untrusted intermediate) up to root, as
    // the library's TLS context checks a server: with policy checking.
    auto verify = [&](const char* leaf, const char* middle, const char* root, unsigned long flags, bool ours) {
        X509_STORE* store = X509_STORE_new();
        X509_STORE_add_cert(store, certs[root]);
        STACK_OF(X509)* chain = sk_X509_new_null();
        if (middle != nullptr) sk_X509_push(chain, certs[middle]);
        X509_STORE_CTX* context = X509_STORE_CTX_new();
        X509_STORE_CTX_init(context, store, certs[leaf], chain);
        X509_STORE_CTX_set_purpose(context, X509_PURPOSE_SSL_SERVER);
        X509_STORE_CTX_set_flags(context, flags | X509_V_FLAG_POLICY_CHECK);
        if (ours) X509_STORE_CTX_set_verify_cb(context, [](int ok, X509_STORE_CTX* c) { return tls_session_verify_callback(ok, c); });
        const std::pair<int, int> result{X509_verify_cert(context), X509_STORE_CTX_get_error(context)};
        X509_STORE_CTX_free(context);
        sk_X509_free(chain);
        X509_STORE_free(store);
        return result;
    };
    using R = std::pair<int, int>;
    EXPECT_EQ(R(1, 0), verify("leaf", nullptr, "ca", 0, true));
    EXPECT_EQ(R(0, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY), verify("stranger", nullptr, "ca", 0, true));
    EXPECT_EQ(R(0, X509_V_ERR_INVALID_CA), verify("under", "notca", "ca", 0, true));
    // The callback's own decisions, against OpenSSL's alone: a signer
    // without the CA flag is refused; a missing revocation list, a purpose
    // meant for clients and the lack of an explicit policy are not.
    EXPECT_EQ(R(1, 0), verify("bareleaf", nullptr, "bareroot", 0, false));
    EXPECT_EQ(R(0, X509_V_ERR_INVALID_CA), verify("bareleaf", nullptr, "bareroot", 0, true));
    EXPECT_EQ(R(0, X509_V_ERR_UNABLE_TO_GET_CRL), verify("leaf", nullptr, "ca", X509_V_FLAG_CRL_CHECK, false));
    EXPECT_EQ(1, verify("leaf", nullptr, "ca", X509_V_FLAG_CRL_CHECK, true).first);
    EXPECT_EQ(R(0, X509_V_ERR_INVALID_PURPOSE), verify("client", nullptr, "ca", 0, false));
    EXPECT_EQ(1, verify("client", nullptr, "ca", 0, true).first);
    EXPECT_EQ(R(0, X509_V_ERR_NO_EXPLICIT_POLICY), verify("leaf", nullptr, "ca", X509_V_FLAG_EXPLICIT_POLICY, false));
    EXPECT_EQ(1, verify("leaf", nullptr, "ca", X509_V_FLAG_EXPLICIT_POLICY, true).first);
    for (const auto& [name, cert] : certs) X509_free(cert);
}

// ---- Against syslog-ng ------------------------------------------------------

namespace {

class SyslogCollectorTest : public SyslogTransportTest {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_DFL);  // a SIGPIPE from the library would end the test
        ASSERT_TRUE(makeCert(dir_, "ca", kCaExtensions) && makeCert(dir_, "server", kServerExtensions, "ca") &&
                    trustOnBox(dir_, dir_ + "/ca.pem"));
        ASSERT_TRUE(collector_.start()) << collector_.log();
        std::strcpy(g_macString, kMac);
        g_iLogUseUTCTime = 1;
        XKT_property_set("ro.software", "V100");
        XKT_property_set("xkt.log.mgmttakeover", "1");
        XKT_logFilterSetModule("ALL");
        XKT_logRegCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput);
    }
    void useTls() {
        g_iUseHttpsSyslog = 1;
        useServer("127.0.0.1:" + std::to_string(collector_.tlsPort()));
    }
    long connections() const {
        const std::string log = collector_.log();
        const std::regex accepted("connection accepted");
        return std::distance(std::sregex_iterator(log.begin(), log.end(), accepted), {});
    }

    const std::string dir_ = sandbox_.root();
    Collector collector_{dir_};
};

// Put under a live session as its write BIO: fails once as told, then writes on.
struct FaultyWrite {
    enum Mode { kRetry, kZero, kSslError } mode;
    int fd;
    int calls = 0;

    static int write(BIO* bio, const char* data, int length) {
        auto* self = static_cast<FaultyWrite*>(BIO_get_data(bio));
        if (self->calls++ > 0) return static_cast<int>(send(self->fd, data, size_t(length), MSG_NOSIGNAL));
        if (self->mode == kRetry) BIO_set_retry_write(bio);
        if (self->mode == kSslError) ERR_raise(ERR_LIB_BIO, BIO_R_BROKEN_PIPE);
        return self->mode == kZero ? 0 : -1;
    }
};

}  // namespace

TEST_F(SyslogCollectorTest, ClassicLinesOverUdpDirectAndThroughTheDecryptTool) {
    useServer("127.0.0.1:" + std::to_string(collector_.udpPort()));
    const time_t before = std::time(nullptr);
    dispatch(1, 4, "disk full");
    char text[XKT_LOG_ITEM_SIZE] = "plain text";
    int32_t kind = 0;
    XKT_processLog(text, &kind);
    const time_t after = std::time(nullptr);
    // The same record encrypted, through the decrypt tool in front of the
    // collector; a datagram under another key is reported and skipped.
    useServer("127.0.0.1:" + std::to_string(startDecryptTool(dir_, "-c 2 -f 127.0.0.1:" + std::to_string(collector_.udpPort()))));
    XKT_logRegSTBMonitorCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput, kOtherKey);
    dispatch(1, 4, "disk full");
    XKT_logRegAeskeyUpdateCallback(kKey);
    dispatch(1, 4, "disk full");

    const std::vector<std::string> got = collector_.waitFor(3);
    ASSERT_EQ(3u, got.size()) << collector_.log();
    for (const std::string& r : {got[0], got[2]}) {
        EXPECT_EQ("139 17 3", field(r, "pri") + " " + field(r, "fac") + " " + field(r, "sev"));
        EXPECT_EQ(kMac, field(r, "host"));
        EXPECT_EQ("STBV100", field(r, "prog"));
        EXPECT_EQ("main.c:42 code:7 disk full", field(r, "msg"));
    }
    char stamp[2][32];
    for (int i = 0; i < 2; ++i) std::strftime(stamp[i], 32, "%m-%dT%H:%M:%S", std::gmtime(i ? &after : &before));
    EXPECT_TRUE(field(got[0], "date") == stamp[0] || field(got[0], "date") == stamp[1]) << got[0];
    EXPECT_EQ("143", field(got[1], "pri"));
    EXPECT_EQ("plain text", field(got[1], "msg"));
    EXPECT_NE(std::string::npos, readFile(dir_ + "/tool.err").find(" skipped ")) << readFile(dir_ + "/tool.err");
}

TEST_F(SyslogCollectorTest, StructuredRecordsOnOneTlsConnectionThenAReconnect) {
    useTls();
    const time_t now = std::time(nullptr);
    const std::string year = std::to_string(std::gmtime(&now)->tm_year + 1900);
    for (const char* message : {"first", "second", "third"}) dispatch(2, 2, message);
    EXPECT_EQ(1, g_tlsContext.state);
    std::vector<std::string> got = collector_.waitFor(3);
    ASSERT_EQ(3u, got.size()) << collector_.log();
    EXPECT_EQ(1, connections());
    for (size_t i = 0; i < 3; ++i) {
        const std::string message = std::string(" ") + (i == 0 ? "first" : i == 1 ? "second" : "third");
        EXPECT_EQ("134 16 6 " + year, field(got[i], "pri") + " " + field(got[i], "fac") + " " +
                                          field(got[i], "sev") + " " + field(got[i], "year"));
        EXPECT_EQ(message, field(got[i], "msg"));  // the BOM stripped
        EXPECT_TRUE(std::regex_match(field(got[i], "raw"),
                                     std::regex("<134>1 " + year + "-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d - - - - - \xEF\xBB\xBF" + message)))
            << field(got[i], "raw");
    }
    XKT_setCPESysLogParam("STB", nullptr, "");  // no server: the session stays
    EXPECT_EQ(1, g_tlsContext.state);
    useTls();  // the same server: torn down all the same
    EXPECT_EQ(0, g_tlsContext.state);
    dispatch(2, 2, "fourth");
    closeSyslogConnection();
    EXPECT_EQ(-1, sendSyslogMessage(std::string(8192, 'x').c_str(), 8192));
    EXPECT_EQ(0, g_tlsContext.state);  // refused before connecting
    dispatch(2, 2, "fifth");
    got = collector_.waitFor(5);
    ASSERT_EQ(5u, got.size());
    EXPECT_EQ(" fifth", field(got[4], "msg"));
    EXPECT_EQ(3, connections());
}

TEST_F(SyslogCollectorTest, UntrustedCollectorGetsNothing) {
    ASSERT_TRUE(makeCert(dir_, "other", kCaExtensions) && trustOnBox(dir_, dir_ + "/other.pem"));
    useTls();
    EXPECT_EQ(-1, XKT_SysLogOutput(framed("secret").c_str()));
    EXPECT_EQ(0, g_tlsContext.state);
    g_iUseHttpsSyslog = 0;
    useServer("127.0.0.1:" + std::to_string(collector_.udpPort()));
    XKT_SysLogOutput("<143>Jan 01 00:00:00 host prog: marker\n");
    const std::vector<std::string> got = collector_.waitFor(1);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("marker", field(got[0], "msg"));
}

TEST_F(SyslogCollectorTest, WriteFailuresSetErrnoAndKeepTheProcess) {
    useTls();
    const std::string line = framed("x");
    const int32_t size = static_cast<int32_t>(line.size());
    BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "faulty");
    BIO_meth_set_write(method, FaultyWrite::write);
    BIO_meth_set_ctrl(method, [](BIO*, int command, long, void*) -> long { return command == BIO_CTRL_FLUSH; });
    // {result, errno} per mode: try again (11) writes the same part again and
    // gets through; a write of 0 is an abort (103); an SSL error a broken pipe.
    const std::pair<int32_t, int> expected[] = {{size, -1}, {0, ECONNABORTED}, {-1, EPIPE}};
    for (auto mode : {FaultyWrite::kRetry, FaultyWrite::kZero, FaultyWrite::kSslError}) {
        closeSyslogConnection();
        ASSERT_EQ(size, sendSyslogMessage(line.c_str(), uint32_t(size)));
        FaultyWrite fault{mode, g_tlsContext.socket};
        BIO* bio = BIO_new(method);
        BIO_set_data(bio, &fault);
        BIO_set_init(bio, 1);
        SSL_set0_wbio(static_cast<SSL*>(g_tlsContext.ssl), bio);
        errno = -1;
        EXPECT_EQ(expected[mode].first, sendSyslogMessage(line.c_str(), uint32_t(size))) << mode;
        if (mode != FaultyWrite::kRetry) {
            EXPECT_EQ(expected[mode].second, errno) << mode;
        }
        EXPECT_EQ(mode == FaultyWrite::kRetry ? 2 : 1, fault.calls) << mode;
        fault.calls = 1;  // the teardown's alert goes out unharmed
        closeSyslogConnection();
    }
    BIO_meth_free(method);
    const std::string reported = "log_transport_tls_write_method|code:0|SSL error while writing stream, ssl_error = " +
                                 std::to_string(ERR_PACK(ERR_LIB_BIO, 0, BIO_R_BROKEN_PIPE));
    std::string logged;
    for (const LogEntry& entry : readTagged("XKT")) logged += entry.message + "\n";
    EXPECT_NE(std::string::npos, logged.find(reported)) << logged;
    EXPECT_EQ(4u, collector_.waitFor(4).size());  // one per connection, and the one written again

    // A collector that drops the stream (a bad frame header): broken pipe, no signal.
    ASSERT_EQ(8, sendSyslogMessage("garbage\n", 8));
    int error = 0;
    for (int i = 0; i < 300 && error != EPIPE; ++i, usleep(10000)) {
        if (sendSyslogMessage(line.c_str(), uint32_t(size)) < 0) error = errno;
    }
    EXPECT_EQ(EPIPE, error);
    EXPECT_EQ(1, g_tlsContext.state);  // a failed write does not tear the session down
}

TEST_F(SyslogCollectorTest, FailedLinesLeaveNothingBehind) {
    useTls();
    ASSERT_EQ(0, XKT_SysLogOutput(framed("x").c_str()));
    closeSyslogConnection();
    const size_t descriptors = openDescriptors();
    // A collector answering garbage: accept, a few bytes, close.
    uint16_t port = 0;
    const int listener = loopbackSocket(SOCK_STREAM, port);
    listen(listener, 8);
    std::thread garbage([listener] {
        for (int fd; (fd = accept(listener, nullptr, nullptr)) >= 0; close(fd)) (void)!write(fd, "HTTP/1.0 400\r\n\r\n", 16);
    });
    for (const std::string& server : {"127.0.0.1:" + std::to_string(port),
                                      "127.0.0.1:" + std::to_string(freePort(SOCK_STREAM)), std::string("no.address")}) {
        useServer(server);
        for (int i = 0; i < 50; ++i) ASSERT_EQ(-1, XKT_SysLogOutput(framed("x").c_str())) << server;
    }
    useTls();
    trustOnBox(dir_, "/dev/null");  // a CA file that vouches for nobody
    for (int i = 0; i < 50; ++i) ASSERT_EQ(-1, XKT_SysLogOutput(framed("x").c_str()));
    shutdown(listener, SHUT_RDWR);
    garbage.join();
    close(listener);
    EXPECT_EQ(descriptors, openDescriptors());  // and LeakSanitizer checks the heap at exit
}

TEST_F(SyslogCollectorTest, SettersAndRegistrationsRaceAStreamOfLines) {
    const std::string udp = "127.0.0.1:" + std::to_string(collector_.udpPort());
    const std::string tls = "127.0.0.1:" + std::to_string(collector_.tlsPort());
    const std::string lines[] = {framed("race"), "<143>Jan 01 00:00:00 h race\n"};
    std::atomic<bool> done{false};
    std::thread stream([&] {
        for (int i = 0; !done; ++i) XKT_SysLogOutput(lines[i % 2].c_str());
    });
    for (int i = 0; i < 200; ++i) {
        g_iUseHttpsSyslog = i % 3 == 0;
        XKT_setCPESysLogParam("RACE", nullptr, (i % 2 ? tls : udp).c_str());
        if (i % 4 == 1) XKT_logRegSTBMonitorCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput, kKey);
        if (i % 4 == 2) XKT_logRegAeskeyUpdateCallback(kOtherKey);
        if (i % 4 == 3) XKT_logRegCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput);
        if (i % 5 == 0) closeSyslogConnection();
        usleep(500);
    }
    done = true;
    stream.join();
    EXPECT_FALSE(collector_.waitFor(1).empty());
}
