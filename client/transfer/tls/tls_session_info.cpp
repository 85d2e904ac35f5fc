// What a completed TLS handshake settled, for the user: version, cipher, server certificate.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include "client/transfer/tls/tls_channel.h"
#include "client/transfer/tls/tls_trust.h"
#include "common/log.h"

namespace orvane {

namespace {

// A subject longer than this is cut; certificates can carry names of any length.
constexpr size_t kSubjectLimit = 1024;

struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};

// One line in OpenSSL's escaped form, so control bytes and non-ASCII text cannot reach the console raw.
std::string subject_text(X509* certificate) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0, XN_FLAG_ONELINE) < 0)
        return "(unreadable)";
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    if (n <= 0 || !data) return "(empty)";
    return std::string(data, std::min(static_cast<size_t>(n), kSubjectLimit));
}

std::string sha256_fingerprint(X509* certificate) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), md, &length) != 1) return "(unavailable)";
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(length * 3);
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0) text.push_back(':');
        text.push_back(kHex[md[i] >> 4]);
        text.push_back(kHex[md[i] & 15]);
    }
    return text;
}

}  // namespace

void tls_log_handshake(SSL* ssl, LogCallback log, void* log_user) {
    if (!log || !ssl) return;
    std::string line = std::string("TLS connection established: ") + SSL_get_version(ssl) + ", cipher " +
                       SSL_get_cipher_name(ssl);
    log(log_user, line.c_str(), kLevelInfo, 1);
    X509* certificate = SSL_get0_peer_certificate(ssl);
    if (!certificate) {
        log(log_user, "Server certificate: none", kLevelInfo, 1);
        return;
    }
    line = "Server certificate: " + subject_text(certificate);
    log(log_user, line.c_str(), kLevelInfo, 1);
    line = "Server certificate SHA-256 fingerprint: " + sha256_fingerprint(certificate);
    log(log_user, line.c_str(), kLevelInfo, 1);
    // The form -pin takes and the known-certificates file records.
    line = "Server key: " + certificate_key_text(certificate);
    log(log_user, line.c_str(), kLevelInfo, 1);
}

}  // namespace orvane
