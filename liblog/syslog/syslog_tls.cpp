// The TLS transport's session: connect, handshake, the octet-counted stream
// and the teardown, all through the platform's stream sockets.
//
// The session has a lock of its own, held across the slow work. A teardown
// from another thread (a new server, a registration) first shuts the socket
// down, which ends any connect, handshake or write in progress at once, and
// only then takes the lock: the setter, and the syslog lock it may hold,
// never wait for a collector.
#include "syslog_tls.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <pthread.h>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "box_path.h"
#include "errno_guard.h"
#include "log_model.h"
#include "mutex_guard.h"
#include "syslog_transport.h"
#include "xkt_osal.h"

extern "C" {
XKT_API SyslogTlsContext g_tlsContext = {0, -1, nullptr, nullptr};
}

namespace xkt::log {
namespace {

constexpr SyslogTlsContext kNotConnected = {0, -1, nullptr, nullptr};
constexpr uint32_t kTlsRecordLimit = 8192;
constexpr const char* kCipherList =
    "ALL!aNULL:!eNULL:!EXPORT:!LOW:!DES:!RC4:!MD5:!3DES:!PSK:!aECDH";
// An address that never answers must not hold the sender for the kernel's
// minutes; a collector that accepts and then says nothing must show up as
// a failure the sender can back off from.
constexpr uint32_t kConnectTimeoutMs = 3000;
constexpr uint32_t kStreamTimeoutMs = 5000;

LazyMutex g_sessionMutex;

struct ActiveSocket;
ActiveSocket& activeSocket();

class SessionLock {
public:
    SessionLock() : guard_(g_sessionMutex.handle()) {}

private:
    MutexGuard guard_;
};

// The socket a connect, handshake or write may be blocked on, for a teardown
// to shut down. Changed and used only under its mutex, so a shutdown never
// reaches a descriptor number that was closed and given out again.
struct ActiveSocket {
    LazyMutex mutex;
    int32_t fd = -1;
    uint32_t generation = 0;
};

// A child of fork has none of its parent's threads: a lock one of them held
// at the fork would stay held for ever.
void renewLocksInChild() {
    g_sessionMutex.forgetInChild();
    activeSocket().mutex.forgetInChild();
}

ActiveSocket& activeSocket() {
    static auto* const active = [] {
        static_cast<void>(pthread_atfork(nullptr, nullptr, renewLocksInChild));
        return new ActiveSocket;
    }();
    return *active;
}

std::atomic<uint32_t> g_sessionGeneration{0};

// False when a teardown came after the attempt began: the attempt gives up.
bool publishSocket(int32_t fd, uint32_t generation) {
    ActiveSocket& active = activeSocket();
    const MutexGuard guard(active.mutex.handle());
    if (active.generation != generation) return false;
    active.fd = fd;
    return true;
}

void closeSessionSocket(int32_t fd) {
    ActiveSocket& active = activeSocket();
    {
        const MutexGuard guard(active.mutex.handle());
        if (active.fd == fd) active.fd = -1;
    }
    XKT_sock_close(fd);
}

uint32_t attemptGeneration() {
    ActiveSocket& active = activeSocket();
    const MutexGuard guard(active.mutex.handle());
    return active.generation;
}

void interruptSession() {
    ActiveSocket& active = activeSocket();
    const MutexGuard guard(active.mutex.handle());
    ++active.generation;
    g_sessionGeneration.fetch_add(1, std::memory_order_release);
    if (active.fd >= 0) XKT_sock_shutdown(active.fd);
}

// ---- The stream's BIO ------------------------------------------------------
//
// A collector that closed the stream must cost EPIPE, not the process (the
// platform's send never raises SIGPIPE), and the disposition of SIGPIPE
// belongs to the host.

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
    const int32_t n = XKT_sock_send(bioSocket(bio), data, static_cast<uint32_t>(length));
    if (n < 0) noteBioFailure(bio, true);
    return n;
}

int bioRead(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    const int32_t n = XKT_sock_recv(bioSocket(bio), data, static_cast<uint32_t>(length));
    if (n < 0) noteBioFailure(bio, false);
    return n;
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

BIO* newStreamBio(int32_t socket) {
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

// ---- Connecting ---------------------------------------------------------------

// The box's own certificate, when it has one: its subject names the box's
// MAC, which the structured lines do not carry, so a collector can file
// them under the box. Without both files the box connects without one; a
// pair that does not load or match is left out the same way, since a line
// filed under the peer address beats a line not sent.
constexpr const char* kClientCertFile = "/data/xktlog/tls/client.pem";
constexpr const char* kClientKeyFile = "/data/xktlog/tls/client.key";

template <typename T, typename Read>
T* readPem(const char* file, Read read) {
    BIO* bio = BIO_new_file(file, "r");
    if (bio == nullptr) return nullptr;
    T* value = read(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return value;
}

void presentBoxCertificate(SSL_CTX* context) {
    BoxText<kSyslogServerSize> certFile;
    BoxText<kSyslogServerSize> keyFile;
    if (certFile.path(kClientCertFile) != 0 || keyFile.path(kClientKeyFile) != 0) return;
    // Checked as a pair before the context takes either: a certificate
    // without its key would fail every handshake.
    X509* cert = readPem<X509>(certFile.c_str(), PEM_read_bio_X509);
    EVP_PKEY* key = readPem<EVP_PKEY>(keyFile.c_str(), PEM_read_bio_PrivateKey);
    if (cert != nullptr && key != nullptr && X509_check_private_key(cert, key) == 1) {
        static_cast<void>(SSL_CTX_use_certificate(context, cert));
        static_cast<void>(SSL_CTX_use_PrivateKey(context, key));
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    ERR_clear_error();
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
    presentBoxCertificate(context);
    return context;
}

int32_t connectedSocket(const char* server, uint16_t port) {
    // A text that is no address must not turn into 0.0.0.0, which Linux
    // takes for this host.
    in_addr address{};
    if (server == nullptr || inet_aton(server, &address) == 0) return -1;
    const uint32_t generation = attemptGeneration();
    const int32_t fd = XKT_sock_socket(XKT_SOCK_AF_INET, XKT_SOCK_STREAM, 0);
    if (fd < 0) return -1;
    // Checked again once connected: a shutdown that came before the connect
    // began had nothing to end.
    if (!publishSocket(fd, generation) || XKT_sock_settimeout(fd, kStreamTimeoutMs) != 0 ||
        XKT_sock_connect(fd, address.s_addr, port, kConnectTimeoutMs) != 0 ||
        !publishSocket(fd, generation)) {
        closeSessionSocket(fd);
        return -1;
    }
    return fd;
}

SyslogTlsContext startTls(int32_t fd) {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    SSL_CTX* context = newClientContext();
    SSL* ssl = context != nullptr ? SSL_new(context) : nullptr;
    BIO* bio = ssl != nullptr ? newStreamBio(fd) : nullptr;
    if (bio == nullptr) {
        SSL_free(ssl);
        SSL_CTX_free(context);
        closeSessionSocket(fd);
        return kNotConnected;
    }
    SSL_set_bio(ssl, bio, bio);
    SSL_set_connect_state(ssl);
    if (SSL_connect(ssl) == -1) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
        closeSessionSocket(fd);
        SSL_CTX_free(context);
        return kNotConnected;
    }
    return SyslogTlsContext{1, fd, context, ssl};
}

SyslogTlsContext openSession(const char* server, uint16_t port) {
    const int32_t fd = connectedSocket(server, port);
    SyslogTlsContext session = fd >= 0 ? startTls(fd) : kNotConnected;
    // A refused handshake leaves its reasons queued on this thread.
    if (session.state != 1) ERR_clear_error();
    return session;
}

// ---- Writing ------------------------------------------------------------------

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

void teardownSession() {
    const SessionLock lock;
    if (g_tlsContext.state != 1) return;
    if (g_tlsContext.ssl != nullptr) {
        SSL* ssl = static_cast<SSL*>(g_tlsContext.ssl);
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
    if (g_tlsContext.socket >= 0) closeSessionSocket(g_tlsContext.socket);
    if (g_tlsContext.sslContext != nullptr) SSL_CTX_free(static_cast<SSL_CTX*>(g_tlsContext.sslContext));
    g_tlsContext.state = 0;
    ERR_clear_error();
}

}  // namespace

bool tlsSessionConnected() {
    const SessionLock lock;
    return g_tlsContext.state == 1;
}

uint32_t tlsSessionGeneration() { return g_sessionGeneration.load(std::memory_order_acquire); }

void dropTlsSession() { teardownSession(); }

void interruptTlsSession() {
    interruptSession();
    teardownSession();
}

}  // namespace xkt::log

using namespace xkt::log;

namespace {

int32_t sendStream(const char* text, uint32_t length) {
    if (text == nullptr || text[0] == '\0') return 0;
    if (length >= kTlsRecordLimit) return -1;
    char server[kSyslogServerSize];
    uint16_t port = 0;
    {
        // A copy, so that the slow part below holds only the session's lock.
        SyslogLock lock;
        std::memcpy(server, g_syslogServer, sizeof server);
        port = g_syslogPort;
    }
    const SessionLock lock;
    if (g_tlsContext.state != 1) {
        // As XKT_initSyslogConnecttion, whose lock this thread holds already.
        const ErrnoGuard keepErrno;
        g_tlsContext = openSession(server, port);
        if (g_tlsContext.state != 1) return -1;
    }
    return writeStream(static_cast<SSL*>(g_tlsContext.ssl), text, length);
}

}  // namespace

// A failed or short write says why in errno, as write(2) does; a complete
// one hands the caller's errno back.
extern "C" XKT_API int32_t sendSyslogMessage(const char* text, uint32_t length) {
    const int callerErrno = errno;
    const int32_t written = sendStream(text, length);
    if (written >= 0 && static_cast<uint32_t>(written) >= length) errno = callerErrno;
    return written;
}

extern "C" XKT_API SyslogTlsContext XKT_initSyslogConnecttion(const char* server, uint16_t port) {
    const ErrnoGuard keepErrno;
    const SessionLock lock;
    if (g_tlsContext.state == 1) return g_tlsContext;
    return openSession(server, port);
}

// ---- Certificate verification ---------------------------------------------

extern "C" XKT_API int32_t tls_session_verify_callback(int32_t preverify, void* storeContext) {
    const ErrnoGuard keepErrno;
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
    const ErrnoGuard keepErrno;
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
