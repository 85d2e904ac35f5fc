// Process-wide client certificate settings, applied to each TLS context as it is made.
#include "client/transfer/tls/tls_client_certificate.h"

#include <openssl/crypto.h>

#include <memory>
#include <mutex>

#include "client/transfer/net/transfer_engine.h"
#include "client/transfer/session/session.h"

namespace orvane {

namespace {

// The password keeps one allocation for its whole life, so no unwiped copy is ever left behind.
struct CertificateSettings {
    std::mutex lock;
    bool set = false;
    std::string certificate_file;
    std::string key_file;
    std::string password;

    CertificateSettings() { password.reserve(kWideTextCapacity + 1); }
    ~CertificateSettings() { wipe(); }
    void wipe() {
        if (!password.empty()) OPENSSL_cleanse(password.data(), password.size());
        password.clear();
    }
};

CertificateSettings& settings() {
    static CertificateSettings s;
    return s;
}

// A context of our own provider: only those hold an SSL_CTX this code can load into.
bool openssl_context_in_use() {
    return filter_provider(kSecurityTls) == openssl_tls_provider();
}

}  // namespace

int set_client_certificate(const std::string& certificate_file, const std::string& key_file,
                           const std::string& password) {
    if (password.size() > kWideTextCapacity) return 1;
    // Tried on a context of its own first: a file that does not load changes nothing.
    std::unique_ptr<TlsContext> trial(tls_create_context());
    if (!trial || tls_load_client_certificate(*trial, certificate_file, key_file, password) != 0) return 1;
    {
        CertificateSettings& s = settings();
        std::lock_guard<std::mutex> hold(s.lock);
        s.wipe();
        s.set = true;
        s.certificate_file = certificate_file;
        s.key_file = key_file;
        s.password.append(password);
    }
    TransferEngine* engine = session_engine();
    if (!engine || !openssl_context_in_use()) return 0;
    TlsContext* context = engine->tls_context();
    if (!context) return 0;
    return tls_load_client_certificate(*context, certificate_file, key_file, password);
}

void clear_client_certificate() {
    CertificateSettings& s = settings();
    std::lock_guard<std::mutex> hold(s.lock);
    s.wipe();
    s.set = false;
    s.certificate_file.clear();
    s.key_file.clear();
}

int apply_client_certificate(TlsContext& context) {
    CertificateSettings& s = settings();
    std::lock_guard<std::mutex> hold(s.lock);
    if (!s.set) return 0;
    return tls_load_client_certificate(context, s.certificate_file, s.key_file, s.password);
}

}  // namespace orvane
