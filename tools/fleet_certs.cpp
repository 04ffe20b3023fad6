// Client certificates for fleet boxes, made in-process: a fleet of 200
// boxes would otherwise start 400 openssl commands.
#include <sys/stat.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

#include "fleet_boxes.h"

namespace xkt::fleet {
namespace {

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using X509Ptr = std::unique_ptr<X509, Freer<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using FilePtr = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;

constexpr long kValidSeconds = 30L * 24 * 3600;

template <typename T, typename Read>
T* readPem(const std::string& file, Read read) {
    FilePtr bio(BIO_new_file(file.c_str(), "r"));
    return bio ? read(bio.get(), nullptr, nullptr, nullptr) : nullptr;
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    const bool added = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return added;
}

bool randomSerial(X509* cert) {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    bytes[0] &= 0x7f;  // a positive number
    BIGNUM* number = BN_bin2bn(bytes, sizeof bytes, nullptr);
    const bool set = number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert));
    BN_free(number);
    return set;
}

X509Ptr signedCertificate(const std::string& mac, EVP_PKEY* key, X509* ca, EVP_PKEY* caKey) {
    X509Ptr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1 || !randomSerial(cert.get()) ||
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValidSeconds) == nullptr ||
        X509_set_issuer_name(cert.get(), X509_get_subject_name(ca)) != 1 ||
        X509_set_pubkey(cert.get(), key) != 1) {
        return nullptr;
    }
    X509_NAME* subject = X509_get_subject_name(cert.get());
    if (X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(mac.c_str()), -1, -1,
                                   0) != 1 ||
        !addExtension(cert.get(), ca, NID_basic_constraints, "critical,CA:FALSE") ||
        !addExtension(cert.get(), ca, NID_ext_key_usage, "clientAuth") ||
        X509_sign(cert.get(), caKey, EVP_sha256()) <= 0) {
        return nullptr;
    }
    return cert;
}

}  // namespace

bool writeClientCertificate(const std::string& tierDir, const std::string& mac,
                            const std::string& dest) {
    const X509Ptr ca(readPem<X509>(tierDir + "/tls/ca.pem", PEM_read_bio_X509));
    const KeyPtr caKey(readPem<EVP_PKEY>(tierDir + "/tls/ca.key", PEM_read_bio_PrivateKey));
    const KeyPtr key(EVP_EC_gen("P-256"));
    if (!ca || !caKey || !key) return false;
    const X509Ptr cert = signedCertificate(mac, key.get(), ca.get(), caKey.get());
    if (!cert) return false;
    FilePtr keyOut(BIO_new_file((dest + "/client.key").c_str(), "w"));
    FilePtr certOut(BIO_new_file((dest + "/client.pem").c_str(), "w"));
    return keyOut && certOut && chmod((dest + "/client.key").c_str(), 0600) == 0 &&
           PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                    nullptr) == 1 &&
           PEM_write_bio_X509(certOut.get(), cert.get()) == 1;
}

}  // namespace xkt::fleet
