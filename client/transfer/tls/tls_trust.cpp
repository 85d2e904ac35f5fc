// The TLS trust policy: chain and name checks, pinned keys, and keys learnt on first use.
#include "client/transfer/tls/tls_trust.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "client/transfer/tls/known_certs.h"
#include "common/base64.h"
#include "common/log.h"
#include "common/text.h"

namespace orvane {

namespace {

constexpr const char kKeyPrefix[] = "sha256/";
constexpr size_t kSha256Length = 32;

struct StoreContextFree {
    void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
};

struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};

std::vector<std::string> certificate_keys(const std::string& file) {
    std::vector<std::string> keys;
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(file.c_str(), "r"));
    while (bio) {
        X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
        if (!certificate) break;
        keys.push_back(certificate_key_text(certificate));
        X509_free(certificate);
    }
    ERR_clear_error();  // the end of the file ends the loop with an error entry
    return keys;
}

int decide(void* context, const CertificateQuery& query, std::string& refusal) {
    return static_cast<TlsTrustPolicy*>(context)->check(query, refusal);
}

std::string server_name(const CertificateQuery& query) {
    return query.host + ":" + std::to_string(query.port);
}

}  // namespace

bool valid_key_text(const std::string& text) {
    if (text.compare(0, sizeof kKeyPrefix - 1, kKeyPrefix) != 0) return false;
    std::string bytes;
    return base64_decode(std::string_view(text).substr(sizeof kKeyPrefix - 1), bytes) == 0 &&
           bytes.size() == kSha256Length;
}

std::string certificate_key_text(X509* certificate) {
    unsigned char* der = nullptr;
    int length = certificate ? i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der) : -1;
    if (length <= 0) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    int ok = EVP_Digest(der, static_cast<size_t>(length), digest, &digest_length, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    if (ok != 1) return {};
    return kKeyPrefix + base64_encode(std::string_view(reinterpret_cast<const char*>(digest), digest_length));
}

void TlsTrustPolicy::load(const TlsTrustSettings& settings) {
    settings_ = settings;
    store_.reset(X509_STORE_new());
    if (!store_) {
        store_error_ = "no memory for the trust store";
    } else if (!settings.ca_file.empty()) {
        if (X509_STORE_load_file(store_.get(), settings.ca_file.c_str()) != 1)
            store_error_ = "cannot load the CA file " + settings.ca_file;
        else
            ca_file_keys_ = certificate_keys(settings.ca_file);
    } else if (X509_STORE_set_default_paths(store_.get()) != 1) {
        store_error_ = "cannot load the system's CA store";
    }
    ERR_clear_error();
    // Only a run that may learn keys needs the file.
    if (settings.insecure || !settings.pin.empty() || !settings.ca_file.empty() || settings.strict) return;
    file_ = settings.known_certs_file.empty() ? default_known_certs_file() : settings.known_certs_file;
    if (file_.empty()) {
        file_error_ =
            "no place to record known TLS servers: set ORVANE_KNOWN_CERTS, XDG_CONFIG_HOME or HOME, or "
            "use -cacert, -pin or -tlsstrict";
        return;
    }
    std::lock_guard<std::mutex> hold(lock_);
    read_known_certs(file_, text_, file_error_);
}

CertificateDecision TlsTrustPolicy::decision() {
    return CertificateDecision{decide, this};
}

// The chain against the store, with the host's name (or address) the channel set for the check.
int TlsTrustPolicy::verify_chain(const CertificateQuery& query, std::string& reason) const {
    if (!store_error_.empty()) {
        reason = store_error_;
        return 1;
    }
    std::unique_ptr<X509_STORE_CTX, StoreContextFree> check(X509_STORE_CTX_new());
    X509* leaf = X509_STORE_CTX_get0_cert(query.chain);
    if (!check ||
        X509_STORE_CTX_init(check.get(), store_.get(), leaf, X509_STORE_CTX_get0_untrusted(query.chain)) !=
            1 ||
        X509_VERIFY_PARAM_set1(X509_STORE_CTX_get0_param(check.get()),
                               X509_STORE_CTX_get0_param(query.chain)) != 1) {
        ERR_clear_error();
        reason = "the certificate could not be checked";
        return 1;
    }
    int ok = X509_verify_cert(check.get());
    int error = X509_STORE_CTX_get_error(check.get());
    ERR_clear_error();
    if (ok == 1) return 0;
    reason = X509_verify_cert_error_string(error);
    return 1;
}

int TlsTrustPolicy::check(const CertificateQuery& query, std::string& refusal) {
    std::string key = certificate_key_text(X509_STORE_CTX_get0_cert(query.chain));
    if (key.empty()) {
        refusal = "the server's certificate has no readable key";
        return 1;
    }
    std::string server = server_name(query);
    if (settings_.insecure) {
        output_to(query.log, query.log_user,
                  format("Warning: the certificate of %s is not checked (-insecure); its key is %s",
                         server.c_str(), key.c_str()),
                  kLevelWarning);
        return 0;
    }
    if (!settings_.pin.empty()) {
        if (key == settings_.pin) return 0;
        refusal = format("the certificate key of %s is %s, not the pinned %s", server.c_str(), key.c_str(),
                         settings_.pin.c_str());
        return 1;
    }
    std::string reason;
    if (verify_chain(query, reason) == 0) return 0;
    for (const std::string& trusted : ca_file_keys_) {
        if (trusted == key) return 0;
    }
    if (!settings_.ca_file.empty() || settings_.strict) {
        refusal = format("the certificate of %s is not trusted: %s", server.c_str(), reason.c_str());
        return 1;
    }
    return check_first_use(query, key, refusal);
}

int TlsTrustPolicy::check_first_use(const CertificateQuery& query, const std::string& key,
                                    std::string& refusal) {
    std::string server = server_name(query);
    if (!file_error_.empty()) {
        refusal =
            format("the certificate of %s is not signed by a trusted CA, and its key cannot be checked: %s",
                   server.c_str(), file_error_.c_str());
        return 1;
    }
    std::string name = known_certs_name(query.host, query.port);
    std::lock_guard<std::mutex> hold(lock_);
    KnownCert known;
    bool found = find_known_cert(text_, name, known);
    if (!found) {
        std::string error;
        RecordOutcome outcome = record_known_cert(file_, name, key, known, text_, error);
        if (outcome == RecordOutcome::kFailed) {
            refusal = format("the key of %s, seen for the first time, cannot be recorded: %s", server.c_str(),
                             error.c_str());
            return 1;
        }
        if (outcome == RecordOutcome::kRecorded) {
            output_to(query.log, query.log_user,
                      format("Warning: %s was not a known TLS server; its certificate key %s is accepted and "
                             "recorded in %s",
                             server.c_str(), key.c_str(), file_.c_str()),
                      kLevelWarning);
            return 0;
        }
    }
    if (known.key == key) return 0;
    refusal = format(
        "the certificate key of %s has changed: recorded %s, presented %s; if the server's key was changed "
        "on "
        "purpose, remove line %zu of %s",
        server.c_str(), known.key.c_str(), key.c_str(), known.line, file_.c_str());
    return 1;
}

}  // namespace orvane
