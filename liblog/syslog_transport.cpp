// The syslog channel's output: one line per call, to one collector, as a
// plain UDP datagram, an AES-128-CBC datagram or a record on a TLS stream.
//
// The log thread sends while the host and the management agent replace the
// collector, the key or the session from their own threads; syslogMutex()
// is held across each of those, the TLS write and connect included, so a
// setter waits for at most one (bounded) attempt of the log thread.
#include "syslog_transport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "box_path.h"
#include "log_init.h"
#include "log_model.h"
#include "xkt_osal.h"

extern "C" {
XKT_API SyslogTlsContext g_tlsContext = {0, -1, nullptr, nullptr};
}

namespace xkt::log {

char g_syslogServer[kSyslogServerSize] = {};
uint16_t g_syslogPort = kDefaultSyslogPort;
int32_t g_syslogSocket = -1;

std::recursive_mutex& syslogMutex() {
    // Never destroyed: the log thread may still be sending while the
    // process runs its exit handlers.
    static auto* const mutex = new std::recursive_mutex;
    return *mutex;
}

namespace {

constexpr SyslogTlsContext kNotConnected = {0, -1, nullptr, nullptr};
constexpr uint32_t kTlsRecordLimit = 8192;
constexpr const char* kCipherList =
    "ALL!aNULL:!eNULL:!EXPORT:!LOW:!DES:!RC4:!MD5:!3DES:!PSK:!aECDH";
// A collector that accepts the connection and then says nothing would hold
// the log thread, and every setter waiting on the lock, for ever.
constexpr time_t kStreamTimeoutSeconds = 10;

sockaddr_in collectorAddress() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(g_syslogPort);
    address.sin_addr.s_addr = XKT_sock_inetaddr(g_syslogServer);
    return address;
}

// ---- UDP ------------------------------------------------------------------

int32_t ensureUdpSocket() {
    if (g_syslogSocket >= 0) return 0;
    g_syslogSocket = XKT_sock_socket(XKT_SOCK_AF_INET, XKT_SOCK_DGRAM, 0);
    if (g_syslogSocket < 0) return -1;
    const int32_t reuse = 1;
    constexpr int32_t kSolSocket = 1;
    constexpr int32_t kSoReuseAddr = 2;
    if (XKT_sock_setsockopt(g_syslogSocket, kSolSocket, kSoReuseAddr, &reuse, sizeof reuse) == -1) {
        XKT_sock_close(g_syslogSocket);
        g_syslogSocket = -1;
        return -1;
    }
    return 0;
}

// ---- Encrypted UDP --------------------------------------------------------
//
// The datagram is the last ciphertext block, then AES-128-CBC of the first
// 21 characters of the line followed by the whole line, PKCS#7-padded. The
// random starting vector is not sent: a receiver decrypting with any vector
// loses only the first block, which the repeated prefix covers.

constexpr size_t kAesBlock = 16;
constexpr size_t kPrefixChars = 21;
constexpr size_t kPlainTextMax = 1023;
constexpr size_t kPaddedMax = 1024;
static_assert(kPlainTextMax / kAesBlock * kAesBlock + kAesBlock == kPaddedMax);

// The key schedule is kept until the key changes, the buffers are reused
// and the random vectors are drawn 64 at a time (one RAND_bytes call costs
// more than the whole send): the encrypted line then costs little more
// than the plain one. Used only under syslogMutex().
struct Encryptor {
    EVP_CIPHER* cipher = nullptr;
    EVP_CIPHER_CTX* context = nullptr;
    uint8_t key[XKT_LOG_AES_KEY_SIZE] = {};
    bool keyed = false;
    uint8_t vectors[64 * kAesBlock] = {};
    size_t vectorsLeft = 0;
    uint8_t plain[kPaddedMax] = {};
    uint8_t datagram[kAesBlock + kPaddedMax] = {};
};

Encryptor& encryptor() {
    static Encryptor instance;
    // A forked child must not repeat its parent's vectors.
    static const int forkHook = pthread_atfork(nullptr, nullptr, [] { instance.vectorsLeft = 0; });
    (void)forkHook;
    return instance;
}

bool nextVector(Encryptor& e, uint8_t (&vector)[kAesBlock]) {
    if (e.vectorsLeft == 0) {
        if (RAND_bytes(e.vectors, sizeof e.vectors) <= 0) return false;
        e.vectorsLeft = sizeof e.vectors / kAesBlock;
    }
    --e.vectorsLeft;
    std::memcpy(vector, e.vectors + e.vectorsLeft * kAesBlock, kAesBlock);
    return true;
}

bool prepareKey(Encryptor& e) {
    if (e.keyed && std::memcmp(e.key, g_syslogAesKey, sizeof e.key) == 0) return true;
    e.keyed = false;
    if (e.cipher == nullptr) e.cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    if (e.context == nullptr) e.context = EVP_CIPHER_CTX_new();
    if (e.cipher == nullptr || e.context == nullptr) return false;
    std::memcpy(e.key, g_syslogAesKey, sizeof e.key);
    if (EVP_EncryptInit_ex2(e.context, e.cipher, e.key, nullptr, nullptr) != 1) return false;
    // The padding is ours (always 1 to 16 bytes), so the length is known
    // before encrypting and the bytes are exactly PKCS#7's.
    EVP_CIPHER_CTX_set_padding(e.context, 0);
    e.keyed = true;
    return true;
}

// Plaintext into e.plain; returns its padded length.
size_t buildPlaintext(Encryptor& e, const char* line) {
    const size_t lineLength = std::strlen(line);
    const size_t prefix = lineLength < kPrefixChars ? lineLength : kPrefixChars;
    const size_t whole = lineLength < kPlainTextMax - prefix ? lineLength : kPlainTextMax - prefix;
    std::memcpy(e.plain, line, prefix);
    std::memcpy(e.plain + prefix, line, whole);
    const size_t length = prefix + whole;
    const size_t padded = length / kAesBlock * kAesBlock + kAesBlock;
    std::memset(e.plain + length, static_cast<int>(padded - length), padded - length);
    return padded;
}

int32_t encryptAndSend(int32_t socket, const char* line) {
    Encryptor& e = encryptor();
    if (!prepareKey(e)) {
        ERR_clear_error();
        return -1;
    }
    uint8_t vector[kAesBlock];
    if (!nextVector(e, vector)) {
        ERR_clear_error();
        return -1;
    }
    const size_t padded = buildPlaintext(e, line);
    uint8_t* cipherText = e.datagram + kAesBlock;
    int produced = 0;
    const bool encrypted =
        EVP_EncryptInit_ex2(e.context, nullptr, nullptr, vector, nullptr) == 1 &&
        EVP_EncryptUpdate(e.context, cipherText, &produced, e.plain, static_cast<int>(padded)) == 1 &&
        static_cast<size_t>(produced) == padded;
    OPENSSL_cleanse(e.plain, padded);
    if (!encrypted) {
        ERR_clear_error();
        return -1;
    }
    // What the chaining leaves in the vector: the last ciphertext block.
    std::memcpy(e.datagram, cipherText + padded - kAesBlock, kAesBlock);
    const sockaddr_in address = collectorAddress();
    const int32_t sent = XKT_sock_sendto(socket, e.datagram, static_cast<uint32_t>(padded + kAesBlock),
                                         0, &address, sizeof address);
    return sent < 0 ? -1 : 0;
}

// ---- TLS stream -----------------------------------------------------------
//
// The stream's BIO is a socket BIO that sends with MSG_NOSIGNAL: a collector
// that closed the stream must cost EPIPE, not the process, and the
// disposition of SIGPIPE belongs to the host.

int bioSocket(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

void noteBioFailure(BIO* bio, bool writing) {
    if (errno == EINTR) {
        if (writing) {
            BIO_set_retry_write(bio);
        } else {
            BIO_set_retry_read(bio);
        }
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // The socket blocks, so this is the I/O time-out: not worth a retry.
        errno = ETIMEDOUT;
    }
}

int bioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t n = send(bioSocket(bio), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n < 0) noteBioFailure(bio, true);
    return static_cast<int>(n);
}

int bioRead(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t n = recv(bioSocket(bio), data, static_cast<size_t>(length), 0);
    if (n < 0) noteBioFailure(bio, false);
    return static_cast<int>(n);
}

long bioCtrl(BIO* bio, int command, long, void* pointer) {
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_C_GET_FD:
        if (pointer != nullptr) *static_cast<int*>(pointer) = bioSocket(bio);
        return bioSocket(bio);
    default:
        return 0;
    }
}

BIO* newStreamBio(int socket) {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(
            BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "syslog stream");
        if (made != nullptr) {
            BIO_meth_set_write(made, bioWrite);
            BIO_meth_set_read(made, bioRead);
            BIO_meth_set_ctrl(made, bioCtrl);
        }
        return made;
    }();
    BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) return nullptr;
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(socket)));
    BIO_set_init(bio, 1);
    return bio;
}

int verifyTrampoline(int preverify, X509_STORE_CTX* store) {
    return tls_session_verify_callback(preverify, store);
}

SSL_CTX* newClientContext() {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) return nullptr;
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, verifyTrampoline);
    // OpenSSL 3 has no SSL version 2 left to refuse; the option keeps the intent.
    SSL_CTX_set_options(context, SSL_OP_NO_SSLv2);
    X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(context), X509_V_FLAG_POLICY_CHECK);
    BoxText<kSyslogServerSize> caFile;
    if (caFile.path(kSyslogCaFile) != 0 ||
        SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
        SSL_CTX_free(context);
        return nullptr;
    }
    (void)SSL_CTX_set_cipher_list(context, kCipherList);
    return context;
}

int connectedSocket(const char* server, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    // A text that is no address must not turn into 0.0.0.0, which Linux
    // takes for this host.
    if (server == nullptr || inet_aton(server, &address.sin_addr) == 0) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const timeval timeout{kStreamTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);  // bounds connect too
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

SyslogTlsContext startTls(int fd) {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    SSL_CTX* context = newClientContext();
    SSL* ssl = context != nullptr ? SSL_new(context) : nullptr;
    BIO* bio = ssl != nullptr ? newStreamBio(fd) : nullptr;
    if (bio == nullptr) {
        SSL_free(ssl);
        SSL_CTX_free(context);
        close(fd);
        return kNotConnected;
    }
    SSL_set_bio(ssl, bio, bio);
    SSL_set_connect_state(ssl);
    if (SSL_connect(ssl) == -1) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
        close(fd);
        SSL_CTX_free(context);
        return kNotConnected;
    }
    return SyslogTlsContext{1, fd, context, ssl};
}

void reportWriteError() {
    XKT_logWrite(__FILE__, __LINE__, "log_transport_tls_write_method", 0, XKT_LOG_TYPE_RUN,
                 XKT_LOG_LEVEL_ERROR, "LOG", "SSL error while writing stream, ssl_error = %d",
                 static_cast<int32_t>(ERR_get_error()));
    ERR_clear_error();
}

int32_t writeStream(SSL* ssl, const char* text, uint32_t length) {
    uint32_t written = 0;
    while (written < length) {
        // SSL_get_error reads the thread's error queue: it must hold only
        // what this write left.
        ERR_clear_error();
        const int n = SSL_write(ssl, text + written, static_cast<int>(length - written));
        const int systemError = errno;
        if (n > 0) {
            written += static_cast<uint32_t>(n);
            continue;
        }
        if (n == 0) {
            errno = ECONNABORTED;
            return static_cast<int32_t>(written);
        }
        int32_t result = n;
        switch (SSL_get_error(ssl, n)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            errno = EAGAIN;
            break;
        case SSL_ERROR_SYSCALL:
            errno = systemError;
            break;
        default:
            reportWriteError();
            errno = EPIPE;
            result = -1;
            break;
        }
        if (errno != EAGAIN && errno != EINTR) return result;
    }
    return static_cast<int32_t>(written);
}

}  // namespace
}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_SysLogOutput(const char* line) {
    if (line == nullptr || line[0] == '\0') return -1;
    SyslogLock lock;
    if (g_syslogServer[0] == '\0' || g_syslogPort == 0) return -1;
    if (ensureUdpSocket() != 0) return -1;
    if (g_syslogAesKey[0] != 0) return sendEncryptedSyslog(g_syslogSocket, line);
    const size_t length = std::strlen(line);
    if (g_iUseHttpsSyslog.load(std::memory_order_relaxed) == 1) {
        return sendSyslogMessage(line, static_cast<uint32_t>(length)) < 0 ? -1 : 0;
    }
    const sockaddr_in address = collectorAddress();
    return XKT_sock_sendto(g_syslogSocket, line, static_cast<uint32_t>(length), 0, &address,
                           sizeof address) < 0
               ? -1
               : 0;
}

extern "C" XKT_API int32_t sendEncryptedSyslog(int32_t socket, const char* line) {
    if (socket < 0 || line == nullptr || line[0] == '\0') return -1;
    SyslogLock lock;
    return encryptAndSend(socket, line);
}

extern "C" XKT_API int32_t sendSyslogMessage(const char* text, uint32_t length) {
    if (text == nullptr || text[0] == '\0') return 0;
    if (length >= kTlsRecordLimit) return -1;
    SyslogLock lock;
    if (g_tlsContext.state != 1) {
        g_tlsContext = XKT_initSyslogConnecttion(g_syslogServer, g_syslogPort);
        if (g_tlsContext.state != 1) return -1;
    }
    return writeStream(static_cast<SSL*>(g_tlsContext.ssl), text, length);
}

extern "C" XKT_API SyslogTlsContext XKT_initSyslogConnecttion(const char* server, uint16_t port) {
    SyslogLock lock;
    if (g_tlsContext.state == 1) return g_tlsContext;
    const int fd = connectedSocket(server, port);
    SyslogTlsContext session = fd >= 0 ? startTls(fd) : kNotConnected;
    // A refused handshake leaves its reasons queued on this thread.
    if (session.state != 1) ERR_clear_error();
    return session;
}

extern "C" XKT_API void closeSyslogConnection(void) {
    SyslogLock lock;
    if (g_tlsContext.state != 1) return;
    if (g_tlsContext.ssl != nullptr) {
        SSL* ssl = static_cast<SSL*>(g_tlsContext.ssl);
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
    if (g_tlsContext.socket >= 0) close(g_tlsContext.socket);
    if (g_tlsContext.sslContext != nullptr) SSL_CTX_free(static_cast<SSL_CTX*>(g_tlsContext.sslContext));
    g_tlsContext.state = 0;
    ERR_clear_error();
}

// ---- Certificate verification ---------------------------------------------

extern "C" XKT_API int32_t tls_session_verify_callback(int32_t preverify, void* storeContext) {
    auto* store = static_cast<X509_STORE_CTX*>(storeContext);
    if (store == nullptr) return 0;
    void* session = X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx());
    if (X509_STORE_CTX_get_current_cert(store) == nullptr) {
        // The policy check reports without a certificate; a chain without an
        // explicit policy is accepted.
        return X509_STORE_CTX_get_error(store) == X509_V_ERR_NO_EXPLICIT_POLICY ? 1 : preverify;
    }
    return tls_session_verify(session, preverify, store);
}

extern "C" XKT_API int32_t tls_session_verify(void* session, int32_t preverify,
                                              void* storeContext) {
    (void)session;
    auto* store = static_cast<X509_STORE_CTX*>(storeContext);
    if (store == nullptr) return 0;
    if (preverify == 0) {
        // The box has no revocation lists, and collectors' certificates
        // often carry a purpose meant for clients.
        const int error = X509_STORE_CTX_get_error(store);
        return error == X509_V_ERR_UNABLE_TO_GET_CRL || error == X509_V_ERR_INVALID_PURPOSE ? 1 : 0;
    }
    if (X509_STORE_CTX_get_error_depth(store) == 0) return 1;
    // Above the leaf only a CA may sign, whatever else OpenSSL tolerated.
    X509* issuer = X509_STORE_CTX_get_current_cert(store);
    if ((X509_get_extension_flags(issuer) & EXFLAG_CA) == 0) {
        X509_STORE_CTX_set_error(store, X509_V_ERR_INVALID_CA);
        return 0;
    }
    return 1;
}

extern "C" XKT_API int32_t tls_session_verify_fingerprint(void*, void*) { return 0; }

extern "C" XKT_API int32_t tls_session_verify_dn(void*, void*) { return 1; }
