// Syslog transports: the datagrams against a socket of the test's, the
// stream against a real syslog-ng, its failure paths, and the certificate
// decisions on real chains.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <thread>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "collector.h"
#include "log_entries.h"
#include "log_init.h"
#include "log_model.h"
#include "sandbox.h"
#include "syslog_transport.h"
#include "xkt_log.h"

using namespace xkt::log;
using namespace xkt::test;

namespace {

const uint8_t kKey[16] = {0x5a, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const uint8_t kOtherKey[16] = {0xc3, 0xff, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 1};
constexpr const char* kMac = "00:11:22:33:44:55";

class UdpReceiver {
public:
    UdpReceiver() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        bind(fd_, reinterpret_cast<sockaddr*>(&address), size);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        const timeval timeout{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~UdpReceiver() { close(fd_); }
    std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
    // Loopback delivers within sendto, so "nothing yet" means nothing sent.
    std::string next(int flags = 0) {
        char buffer[2048];
        ssize_t n = recv(fd_, buffer, sizeof buffer, flags);
        return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
    }

private:
    int fd_;
    uint16_t port_ = 0;
};

// The plaintext behind the leading block; its first block is lost, since
// the box keeps its starting vector.
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
    return plain;
}

void dispatch(const LogRecord& record) {
    char item[XKT_LOG_ITEM_SIZE] = {};
    std::memcpy(item, &record, sizeof record);
    int32_t kind = 1;
    XKT_processLog(item, &kind);
}

LogRecord makeRecord(uint32_t type, uint32_t level, const char* message) {
    LogRecord record{};
    record.type = type;
    record.level = level;
    std::strcpy(record.file, "main.c");
    record.line = 42;
    record.code = 7;
    std::strcpy(record.message, message);
    return record;
}

// A structured line with its octet count, as the TLS stream carries it.
std::string framed(const std::string& message) {
    const std::string body = "<143>1 2026-01-01T00:00:00 - - - - - " + message + "\n";
    char count[8];
    std::snprintf(count, sizeof count, "%04zu ", body.size());
    return count + body;
}

// Starts xkt-syslog-decrypt with kKey on a free port; the port, once it listens.
uint16_t startDecryptTool(const std::string& dir, const std::string& options) {
    const uint16_t port = freePort(SOCK_DGRAM);
    const std::string command = "timeout 20 " + binDir() +
                                "/xkt-syslog-decrypt -k 5a0102030405060708090a0b0c0d0e0f -p " +
                                std::to_string(port) + " " + options + " 2>" + dir + "/tool.err &";
    if (std::system(command.c_str()) != 0) return 0;
    for (int i = 0; i < 500 && readFile(dir + "/tool.err").find("listening") == std::string::npos; ++i) {
        usleep(10000);
    }
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
    useServer(receiver_.server());
    EXPECT_EQ(-1, XKT_SysLogOutput(""));
    EXPECT_EQ(-1, XKT_SysLogOutput(nullptr));
    // Only the first byte says whether a key is set.
    const uint8_t zeroFirst[16] = {0, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    XKT_logRegAeskeyUpdateCallback(zeroFirst);
    EXPECT_EQ(0, XKT_SysLogOutput(line.c_str()));
    EXPECT_EQ(line, receiver_.next());
    EXPECT_EQ("", receiver_.next(MSG_DONTWAIT));

    useServer("127.0.0.1:syslog");  // port 0: nothing goes out
    EXPECT_EQ(0, g_syslogPort);
    EXPECT_EQ(-1, XKT_SysLogOutput(line.c_str()));
    EXPECT_EQ("", receiver_.next(MSG_DONTWAIT));
}

TEST_F(SyslogTransportTest, EncryptedDatagramLayout) {
    useServer(receiver_.server());
    ASSERT_EQ(0, XKT_logRegSTBMonitorCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput, kKey));
    const std::string sixteen = "0123456789abcd\r\n", twenty = "twenty characters!!\n";
    const std::string thirty(29, 'w'), longest(1021, 'x');
    struct Case {
        std::string line;
        size_t size;
        std::string tail;  // plaintext behind the first block
    } cases[] = {
        // Doubled to 32 characters: a whole block of padding.
        {sixteen, 64, sixteen + std::string(16, '\x10')},
        // Shorter than the 21-character prefix: the line twice.
        {twenty, 64, twenty.substr(16) + twenty + std::string(8, '\x08')},
        {thirty + "\n", 80, std::string(5, 'w') + thirty + "\n" + std::string(13, '\x0d')},
        // The text stops at 1023 characters, so the line is cut.
        {longest, 1040, std::string(1007, 'x') + "\x01"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, XKT_SysLogOutput(c.line.c_str())) << c.line;
        const std::string datagram = receiver_.next();
        ASSERT_EQ(c.size, datagram.size()) << c.line;
        EXPECT_EQ(datagram.substr(c.size - 16), datagram.substr(0, 16)) << "last block leads";
        EXPECT_EQ(c.tail, decryptAfterFirstBlock(datagram, kKey).substr(16)) << c.line;
    }
    // A fresh starting vector per datagram.
    XKT_SysLogOutput(sixteen.c_str());
    XKT_SysLogOutput(sixteen.c_str());
    EXPECT_NE(receiver_.next(), receiver_.next());
}

TEST_F(SyslogTransportTest, KeyChangesTakeEffectOnTheNextLine) {
    useServer(receiver_.server());
    const std::string line = "<134>Feb 01 00:00:00 " + std::string(kMac) + " STB key test\n";
    ASSERT_EQ(0, XKT_logRegSTBMonitorCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput, kKey));
    XKT_SysLogOutput(line.c_str());
    EXPECT_EQ(line, decryptAfterFirstBlock(receiver_.next(), kKey).substr(21, line.size()));
    XKT_logRegAeskeyUpdateCallback(kOtherKey);
    XKT_SysLogOutput(line.c_str());
    EXPECT_EQ(line, decryptAfterFirstBlock(receiver_.next(), kOtherKey).substr(21, line.size()));
    // Any registration forgets the key: plain again.
    XKT_logRegCallback(1, nullptr, nullptr);
    XKT_SysLogOutput(line.c_str());
    EXPECT_EQ(line, receiver_.next());
}

TEST_F(SyslogTransportTest, StructuredLinesGoOverUdpUnlessTheSwitchIsOne) {
    useServer(receiver_.server());
    XKT_logRegCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput);
    g_iUseHttpsSyslog = 2;
    dispatch(makeRecord(1, 4, "disk full"));
    const std::string datagram = receiver_.next();
    const std::string tail = " - - - - - \xEF\xBB\xBF disk full\n";
    ASSERT_GT(datagram.size(), 12 + tail.size());
    EXPECT_EQ(std::to_string(datagram.size() - 5 + 10000).substr(1), datagram.substr(0, 4));
    EXPECT_EQ(" <139>1 ", datagram.substr(4, 8));
    EXPECT_EQ(tail, datagram.substr(datagram.size() - tail.size()));
    // A record without a severity leaves the buffer empty: nothing is sent.
    dispatch(makeRecord(1, 6, "never"));
    EXPECT_EQ("", receiver_.next(MSG_DONTWAIT));
}

TEST_F(SyslogTransportTest, DecryptToolPrintsWhatTheLibrarySent) {
    const std::string out = sandbox_.path("/out");
    const uint16_t port = startDecryptTool(sandbox_.root(), "-c 3 >" + out);
    useServer("127.0.0.1:" + std::to_string(port));
    XKT_logRegSTBMonitorCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput, kKey);
    const std::string first = "<139>Mar 03 01:02:03 " + std::string(kMac) + " STBV1 a.c:1 code:0 one\n";
    const std::string second = "twenty characters!!\n";  // sent twice, readable from 16 on
    XKT_SysLogOutput(first.c_str());
    XKT_logRegAeskeyUpdateCallback(kOtherKey);  // the tool cannot read this one
    XKT_SysLogOutput("<143>wrong key, reported and skipped\n");
    XKT_logRegAeskeyUpdateCallback(kKey);
    XKT_SysLogOutput(second.c_str());
    for (int i = 0; i < 500 && readFile(out).size() < first.size() + second.size(); ++i) usleep(10000);
    EXPECT_EQ(first + second, readFile(out));
    EXPECT_NE(std::string::npos, readFile(sandbox_.path("/tool.err")).find("skipped 80 bytes"));
}

TEST(TlsVerifyCallback, DecisionsOnRealChains) {
    Sandbox sandbox;
    const std::string dir = sandbox.root();
    const std::string signOnly = "keyUsage=critical,keyCertSign\n";
    ASSERT_TRUE(makeCert(dir, "ca", kCaExtensions) && makeCert(dir, "leaf", kServerExtensions, "ca") &&
                makeCert(dir, "other", kCaExtensions) && makeCert(dir, "stranger", kServerExtensions, "other") &&
                makeCert(dir, "notca", signOnly, "ca") && makeCert(dir, "under", kServerExtensions, "notca") &&
                makeCert(dir, "bareroot", signOnly) && makeCert(dir, "bareleaf", kServerExtensions, "bareroot") &&
                makeCert(dir, "client", "extendedKeyUsage=clientAuth\n", "ca"));
    auto load = [&](const std::string& name) {
        FILE* file = std::fopen((dir + "/" + name + ".pem").c_str(), "r");
        X509* cert = file != nullptr ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr;
        if (file != nullptr) std::fclose(file);
        return cert;
    };
    // {result, error} of verifying leaf (over an untrusted intermediate) up to root.
    auto verify = [&](const char* leaf, const char* middle, const char* root, unsigned long flags,
                      bool ours) {
        X509 *leafCert = load(leaf), *rootCert = load(root);
        STACK_OF(X509)* chain = sk_X509_new_null();
        if (middle != nullptr) sk_X509_push(chain, load(middle));
        X509_STORE* store = X509_STORE_new();
        X509_STORE_add_cert(store, rootCert);
        X509_STORE_CTX* context = X509_STORE_CTX_new();
        X509_STORE_CTX_init(context, store, leafCert, chain);
        X509_STORE_CTX_set_purpose(context, X509_PURPOSE_SSL_SERVER);
        X509_STORE_CTX_set_flags(context, flags | X509_V_FLAG_POLICY_CHECK);
        if (ours) X509_STORE_CTX_set_verify_cb(context, [](int ok, X509_STORE_CTX* c) {
            return tls_session_verify_callback(ok, c);
        });
        std::pair<int, int> result{X509_verify_cert(context), X509_STORE_CTX_get_error(context)};
        X509_STORE_CTX_free(context);
        X509_STORE_free(store);
        sk_X509_pop_free(chain, X509_free);
        X509_free(leafCert);
        X509_free(rootCert);
        return result;
    };
    using R = std::pair<int, int>;
    EXPECT_EQ(R(1, 0), verify("leaf", nullptr, "ca", 0, true));
    EXPECT_EQ(R(0, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY), verify("stranger", nullptr, "ca", 0, true));
    EXPECT_EQ(R(0, X509_V_ERR_INVALID_CA), verify("under", "notca", "ca", 0, true));
    // Decisions of the callback's own, against OpenSSL's alone.
    EXPECT_EQ(R(1, 0), verify("bareleaf", nullptr, "bareroot", 0, false));
    EXPECT_EQ(R(0, X509_V_ERR_INVALID_CA), verify("bareleaf", nullptr, "bareroot", 0, true));
    EXPECT_EQ(R(0, X509_V_ERR_UNABLE_TO_GET_CRL), verify("leaf", nullptr, "ca", X509_V_FLAG_CRL_CHECK, false));
    EXPECT_EQ(1, verify("leaf", nullptr, "ca", X509_V_FLAG_CRL_CHECK, true).first);
    EXPECT_EQ(R(0, X509_V_ERR_INVALID_PURPOSE), verify("client", nullptr, "ca", 0, false));
    EXPECT_EQ(1, verify("client", nullptr, "ca", 0, true).first);
    EXPECT_EQ(R(0, X509_V_ERR_NO_EXPLICIT_POLICY), verify("leaf", nullptr, "ca", X509_V_FLAG_EXPLICIT_POLICY, false));
    EXPECT_EQ(1, verify("leaf", nullptr, "ca", X509_V_FLAG_EXPLICIT_POLICY, true).first);
}

// ---- Against syslog-ng ------------------------------------------------------

namespace {

class SyslogCollectorTest : public SyslogTransportTest {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_DFL);  // a SIGPIPE from the library would end the test
        dir_ = sandbox_.root();
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
    size_t connections() const {
        const std::string log = collector_.log();
        size_t count = 0;
        for (size_t at = 0; (at = log.find("Syslog connection accepted", at)) != std::string::npos; ++at) ++count;
        return count;
    }
    static std::string utcDate(time_t at) {
        char text[32];
        std::strftime(text, sizeof text, "%m-%dT%H:%M:%S", std::gmtime(&at));
        return text;
    }

    std::string dir_;
    Collector collector_{sandbox_.root()};
};

// A write BIO put under a live session: fails once as told, then writes on.
struct FaultyWrite {
    enum Mode { kRetry, kZero, kSslError } mode;
    int fd;
    int calls = 0;
};

int faultyWrite(BIO* bio, const char* data, int length) {
    auto* fault = static_cast<FaultyWrite*>(BIO_get_data(bio));
    if (fault->calls++ > 0) return static_cast<int>(send(fault->fd, data, static_cast<size_t>(length), MSG_NOSIGNAL));
    if (fault->mode == FaultyWrite::kZero) return 0;
    if (fault->mode == FaultyWrite::kRetry) {
        BIO_set_retry_write(bio);
    } else {
        ERR_raise(ERR_LIB_BIO, BIO_R_BROKEN_PIPE);
    }
    return -1;
}

}  // namespace

TEST_F(SyslogCollectorTest, ClassicLinesOverUdpDirectAndThroughTheDecryptTool) {
    useServer("127.0.0.1:" + std::to_string(collector_.udpPort()));
    const time_t before = std::time(nullptr);
    dispatch(makeRecord(1, 4, "disk full"));
    char text[XKT_LOG_ITEM_SIZE] = "plain text";
    int32_t kind = 0;
    XKT_processLog(text, &kind);
    const time_t after = std::time(nullptr);
    // The same record, encrypted, through the decrypt tool in front of the collector.
    const uint16_t tool = startDecryptTool(dir_, "-c 1 -f 127.0.0.1:" + std::to_string(collector_.udpPort()));
    useServer("127.0.0.1:" + std::to_string(tool));
    XKT_logRegSTBMonitorCallback(3, XKT_SyslogFormatter, XKT_SysLogOutput, kKey);
    dispatch(makeRecord(1, 4, "disk full"));

    const std::vector<Record> got = collector_.waitFor(3);
    ASSERT_EQ(3u, got.size()) << collector_.log();
    for (const Record& r : {got[0], got[2]}) {
        EXPECT_EQ("139", r.at("pri"));
        EXPECT_EQ("17", r.at("fac"));
        EXPECT_EQ("3", r.at("sev"));
        EXPECT_EQ(kMac, r.at("host"));
        EXPECT_EQ("STBV100", r.at("prog"));
        EXPECT_EQ("main.c:42 code:7 disk full", r.at("msg"));
    }
    EXPECT_TRUE(got[0].at("date") == utcDate(before) || got[0].at("date") == utcDate(after)) << got[0].at("date");
    EXPECT_EQ("143", got[1].at("pri"));
    EXPECT_EQ("plain text", got[1].at("msg"));
}

TEST_F(SyslogCollectorTest, StructuredRecordsOnOneTlsConnectionThenAReconnect) {
    useTls();
    const time_t before = std::time(nullptr);
    for (const char* message : {"first", "second", "third"}) dispatch(makeRecord(2, 2, message));
    EXPECT_EQ(1, g_tlsContext.state);
    std::vector<Record> got = collector_.waitFor(3);
    ASSERT_EQ(3u, got.size()) << collector_.log();
    EXPECT_EQ(1u, connections());
    const char* messages[] = {"first", "second", "third"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ("134", got[i].at("pri"));
        EXPECT_EQ("16", got[i].at("fac"));
        EXPECT_EQ("6", got[i].at("sev"));
        EXPECT_EQ(" " + std::string(messages[i]), got[i].at("msg"));  // the BOM is stripped
        EXPECT_EQ(std::to_string(std::gmtime(&before)->tm_year + 1900), got[i].at("year"));
        EXPECT_EQ("<134>1 " + got[i].at("year") + "-", got[i].at("raw").substr(0, 12));
        EXPECT_EQ(" - - - - - \xEF\xBB\xBF " + std::string(messages[i]),
                  got[i].at("raw").substr(got[i].at("raw").size() - 15 - std::strlen(messages[i])));
    }
    // An empty server leaves the session; the same server tears it down.
    XKT_setCPESysLogParam("STB", nullptr, "");
    EXPECT_EQ(1, g_tlsContext.state);
    useTls();
    EXPECT_EQ(0, g_tlsContext.state);
    dispatch(makeRecord(2, 2, "fourth"));
    closeSyslogConnection();
    EXPECT_EQ(-1, sendSyslogMessage(std::string(8192, 'x').c_str(), 8192));
    EXPECT_EQ(0, g_tlsContext.state);  // refused before connecting
    dispatch(makeRecord(2, 2, "fifth"));
    got = collector_.waitFor(5);
    ASSERT_EQ(5u, got.size());
    EXPECT_EQ(" fifth", got[4].at("msg"));
    EXPECT_EQ(3u, connections());
}

TEST_F(SyslogCollectorTest, UntrustedCollectorGetsNothing) {
    ASSERT_TRUE(makeCert(dir_, "other", kCaExtensions) && trustOnBox(dir_, dir_ + "/other.pem"));
    useTls();
    EXPECT_EQ(-1, XKT_SysLogOutput(framed("x").c_str()));
    EXPECT_EQ(0, g_tlsContext.state);
    g_iUseHttpsSyslog = 0;
    useServer("127.0.0.1:" + std::to_string(collector_.udpPort()));
    XKT_SysLogOutput("<143>Jan 01 00:00:00 host prog: marker\n");
    const std::vector<Record> got = collector_.waitFor(1);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("marker", got[0].at("msg"));
}

TEST_F(SyslogCollectorTest, WriteFailuresSetErrnoAndKeepTheProcess) {
    useTls();
    const std::string line = framed("x");
    const uint32_t size = static_cast<uint32_t>(line.size());
    for (auto mode : {FaultyWrite::kRetry, FaultyWrite::kZero, FaultyWrite::kSslError}) {
        closeSyslogConnection();
        ASSERT_EQ(int32_t(size), sendSyslogMessage(line.c_str(), size));
        FaultyWrite fault{mode, g_tlsContext.socket};
        BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "faulty");
        BIO_meth_set_write(method, faultyWrite);
        BIO_meth_set_ctrl(method, [](BIO*, int command, long, void*) -> long { return command == BIO_CTRL_FLUSH; });
        BIO* bio = BIO_new(method);
        BIO_set_data(bio, &fault);
        BIO_set_init(bio, 1);
        SSL_set0_wbio(static_cast<SSL*>(g_tlsContext.ssl), bio);
        errno = 0;
        const int32_t written = sendSyslogMessage(line.c_str(), size);
        const int error = errno;
        if (mode == FaultyWrite::kRetry) {
            // Try again (11): the same part is written again, and gets through.
            EXPECT_EQ(int32_t(size), written);
            EXPECT_EQ(2, fault.calls);
        } else if (mode == FaultyWrite::kZero) {
            EXPECT_EQ(0, written);
            EXPECT_EQ(ECONNABORTED, error);
        } else {
            EXPECT_EQ(-1, written);
            EXPECT_EQ(EPIPE, error);
        }
        fault.calls = 1;  // the teardown's alert goes out unharmed
        closeSyslogConnection();
        BIO_meth_free(method);
    }
    bool reported = false;
    for (const LogEntry& entry : readTagged("XKT")) {
        reported |= entry.message.find("log_transport_tls_write_method") != std::string::npos &&
                    entry.message.find("ssl_error = " + std::to_string(ERR_PACK(ERR_LIB_BIO, 0, BIO_R_BROKEN_PIPE))) !=
                        std::string::npos;
    }
    EXPECT_TRUE(reported);
    // One record per connection, and the one written again.
    EXPECT_EQ(4u, collector_.waitFor(4).size());

    // A collector that drops the stream (a bad frame header): broken pipe, no signal.
    ASSERT_EQ(8, sendSyslogMessage("garbage\n", 8));
    int error = 0;
    for (int i = 0; i < 100 && error != EPIPE; ++i, usleep(10000)) {
        if (sendSyslogMessage(line.c_str(), size) < 0) error = errno;
    }
    EXPECT_EQ(EPIPE, error);
    EXPECT_EQ(1, g_tlsContext.state);  // a failed write does not tear the session down
}

TEST_F(SyslogCollectorTest, FailedLinesLeaveNoDescriptorsBehind) {
    useTls();
    const std::string line = framed("x");
    ASSERT_EQ(0, XKT_SysLogOutput(line.c_str()));
    closeSyslogConnection();
    const size_t descriptors = openDescriptors();
    // A collector answering garbage: accept, a few bytes, close.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    bind(listener, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    listen(listener, 8);
    std::thread garbage([listener] {
        for (int fd; (fd = accept(listener, nullptr, nullptr)) >= 0; close(fd)) {
            (void)!write(fd, "HTTP/1.0 400 Bad\r\n\r\n", 20);
        }
    });
    const std::string servers[] = {"127.0.0.1:" + std::to_string(ntohs(address.sin_port)),
                                   "127.0.0.1:" + std::to_string(freePort(SOCK_STREAM)), "no.such.address"};
    for (const std::string& server : servers) {
        useServer(server);
        for (int i = 0; i < 50; ++i) ASSERT_EQ(-1, XKT_SysLogOutput(line.c_str())) << server;
    }
    useTls();
    trustOnBox(dir_, "/dev/null");  // a CA file that vouches for nobody
    for (int i = 0; i < 50; ++i) ASSERT_EQ(-1, XKT_SysLogOutput(line.c_str()));
    shutdown(listener, SHUT_RDWR);
    garbage.join();
    close(listener);
    EXPECT_EQ(0, g_tlsContext.state);
    EXPECT_EQ(descriptors, openDescriptors());
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
