// The AES-UDP transport. The datagram is the last ciphertext block, then
// AES-128-CBC of the first 21 characters of the line followed by the whole
// line, PKCS#7-padded. The random starting vector is not sent: a receiver
// decrypting with any vector loses only the first block, which the repeated
// prefix covers.
#include "syslog_aes_udp.h"

#include <cstring>
#include <pthread.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "errno_guard.h"
#include "log_model.h"
#include "syslog_transport.h"
#include "syslog_udp.h"
#include "xkt_osal.h"

namespace xkt::log {
namespace {

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

// XKT_SysLogOutput holds the syslog lock already.
int32_t sendEncryptedLine(const char* line, size_t) {
    return g_syslogSocket < 0 ? -1 : encryptAndSend(g_syslogSocket, line);
}

}  // namespace

const SyslogTransport kAesUdpTransport{"aes-udp", sendEncryptedLine};

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t sendEncryptedSyslog(int32_t socket, const char* line) {
    const ErrnoGuard keepErrno;
    if (socket < 0 || line == nullptr || line[0] == '\0') return -1;
    SyslogLock lock;
    return encryptAndSend(socket, line);
}
