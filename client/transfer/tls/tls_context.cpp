// The shared TLS context: SSL_CTX set-up, the password callback and client certificate loading.
#include "client/transfer/tls/tls_context.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "client/transfer/tls/tls_channel.h"
#include "common/openssl_init.h"

namespace orvane {

namespace {

// Certificate files are small; anything larger is not one.
constexpr size_t kCertificateFileLimit = 1 << 20;

// Cipher suites up to TLS 1.2, strongest first. Anonymous key exchange of every kind is out
// (ADH alone named only the finite-field kind), and so is RC4, broken and banned from TLS.
// TLS 1.3 suites are OpenSSL's own defaults.
constexpr const char* kCipherList = "ALL:!ADH:!aNULL:!LOW:!EXP:!MD5:!RC4:@STRENGTH";

struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct Pkcs12Free {
    void operator()(PKCS12* p) const { PKCS12_free(p); }
};
struct X509StackFree {
    void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

// A file's bytes, wiped when released since key files pass through it.
struct SecretBytes {
    std::vector<uint8_t> bytes;
    ~SecretBytes() {
        if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    }
};

int read_limited(const std::string& path, SecretBytes& out) {
    BioPtr file(BIO_new_file(path.c_str(), "rb"));
    if (!file) return 1;
    out.bytes.resize(kCertificateFileLimit + 1);
    size_t total = 0;
    while (total < out.bytes.size()) {
        int r = BIO_read(file.get(), out.bytes.data() + total, static_cast<int>(out.bytes.size() - total));
        if (r <= 0) break;
        total += static_cast<size_t>(r);
    }
    if (total > kCertificateFileLimit) return 1;
    // Shrinking keeps the allocation, so the wipe still covers every byte read.
    std::fill(out.bytes.begin() + static_cast<std::ptrdiff_t>(total), out.bytes.end(), 0);
    out.bytes.resize(total);
    return 0;
}

BioPtr memory_bio(const SecretBytes& data) {
    return BioPtr(BIO_new_mem_buf(data.bytes.data(), static_cast<int>(data.bytes.size())));
}

// Copies the context's password into OpenSSL's buffer.
int password_callback(char* buffer, int size, int /*rwflag*/, void* user) {
    auto* context = static_cast<TlsContext*>(user);
    if (!context || size <= 0) return 0;
    size_t n = std::min(context->password.size(), static_cast<size_t>(size));
    std::memcpy(buffer, context->password.data(), n);
    return static_cast<int>(n);
}

void wipe_password(TlsContext& context) {
    if (!context.password.empty()) OPENSSL_cleanse(context.password.data(), context.password.size());
    context.password.clear();
}

bool has_pem_extension(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.find('/', dot) != std::string::npos ||
        name.find('\\', dot) != std::string::npos)
        return false;
    std::string ext = name.substr(dot + 1);
    if (ext.size() != 3) return false;
    for (char& ch : ext) ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch + ('a' - 'A') : ch);
    return ext == "pem";
}

// What a certificate load produced, applied to the context only when complete.
struct ClientCredentials {
    X509Ptr certificate;
    PkeyPtr key;  // may be null (PEM without a key file)
    std::vector<X509Ptr> chain;
};

int parse_pem(TlsContext& context, const std::string& certificate_file, const std::string& key_file,
              ClientCredentials& out) {
    SecretBytes data;
    if (read_limited(certificate_file, data) != 0) return 1;
    BioPtr bio = memory_bio(data);
    if (!bio) return 1;
    out.certificate.reset(PEM_read_bio_X509_AUX(bio.get(), nullptr, password_callback, &context));
    if (!out.certificate) return 1;
    while (X509* next = PEM_read_bio_X509(bio.get(), nullptr, password_callback, &context)) {
        out.chain.emplace_back(next);
    }
    ERR_clear_error();  // the end of the file ends the loop with an error entry
    if (key_file.empty()) return 0;
    SecretBytes key_data;
    if (read_limited(key_file, key_data) != 0) return 1;
    BioPtr key_bio = memory_bio(key_data);
    if (!key_bio) return 1;
    out.key.reset(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, password_callback, &context));
    return out.key ? 0 : 1;
}

int parse_pkcs12(TlsContext& context, const std::string& file, ClientCredentials& out) {
    SecretBytes data;
    if (read_limited(file, data) != 0) return 1;
    BioPtr bio = memory_bio(data);
    if (!bio) return 1;
    std::unique_ptr<PKCS12, Pkcs12Free> p12(d2i_PKCS12_bio(bio.get(), nullptr));
    if (!p12) return 1;
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    STACK_OF(X509)* ca = nullptr;
    if (PKCS12_parse(p12.get(), context.password.c_str(), &key, &certificate, &ca) != 1) return 1;
    out.key.reset(key);
    out.certificate.reset(certificate);
    std::unique_ptr<STACK_OF(X509), X509StackFree> ca_owner(ca);
    if (!out.certificate || !out.key) return 1;
    while (ca && sk_X509_num(ca) > 0) out.chain.emplace_back(sk_X509_shift(ca));
    return 0;
}

int apply(TlsContext& context, ClientCredentials& credentials) {
    if (credentials.key && X509_check_private_key(credentials.certificate.get(), credentials.key.get()) != 1)
        return 1;
    SSL_CTX* ctx = context.ssl_ctx.get();
    if (SSL_CTX_use_certificate(ctx, credentials.certificate.get()) != 1) return 1;
    SSL_CTX_clear_chain_certs(ctx);
    SSL_CTX_clear_extra_chain_certs(ctx);
    for (X509Ptr& x : credentials.chain) {
        if (SSL_CTX_add1_chain_cert(ctx, x.get()) != 1) return 1;
    }
    if (credentials.key && SSL_CTX_use_PrivateKey(ctx, credentials.key.get()) != 1) return 1;
    return 0;
}

int load_certificate_entry(TlsContext& context, const ClientCertificate& certificate) {
    return tls_load_client_certificate(context, certificate.certificate_file, certificate.key_file,
                                       certificate.password);
}

}  // namespace

TlsContext::~TlsContext() {
    wipe_password(*this);
}

TlsContext* tls_create_context() {
    openssl_load_providers();
    auto context = std::make_unique<TlsContext>();
    context->password.reserve(kWideTextCapacity + 1);
    context->ssl_ctx.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX* ctx = context->ssl_ctx.get();
    if (!ctx) return nullptr;
    // SSL_OP_NO_SSLv2 and SSLv3 are gone from OpenSSL; the floor below keeps them out explicitly.
    SSL_CTX_set_options(ctx, SSL_OP_ALL);
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION) != 1) return nullptr;
    if (SSL_CTX_set_cipher_list(ctx, kCipherList) != 1) return nullptr;
    // Records leave through a buffer the channel keeps, possibly in pieces.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // The server's certificate is checked by the channel's policy; a refusal ends the handshake
    // before a command (and its password) is encrypted. The store serves channels without a policy.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, tls_verify_server, nullptr);
    if (SSL_CTX_set_default_verify_paths(ctx) != 1) ERR_clear_error();
    // Sessions are captured per channel (TLS 1.3 tickets arrive after the handshake) so that a
    // data connection can resume its control connection's session; the context keeps none.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, tls_channel_capture_session);
    SSL_CTX_set_default_passwd_cb(ctx, password_callback);
    SSL_CTX_set_default_passwd_cb_userdata(ctx, context.get());
    return context.release();
}

void tls_destroy_context(TlsContext* context) {
    delete context;
}

int tls_load_client_certificate(TlsContext& context, const std::string& certificate_file,
                                const std::string& key_file, const std::string& password) {
    if (password.size() > kWideTextCapacity) return 1;
    std::lock_guard<std::mutex> hold(context.lock);
    wipe_password(context);
    context.password.append(password);  // within the reserved capacity: no copy left behind
    ClientCredentials credentials;
    int r = has_pem_extension(certificate_file) ? parse_pem(context, certificate_file, key_file, credentials)
                                                : parse_pkcs12(context, certificate_file, credentials);
    if (r == 0) r = apply(context, credentials);
    ERR_clear_error();
    return r;
}

SSL* tls_context_new_ssl(TlsContext& context) {
    std::lock_guard<std::mutex> hold(context.lock);
    return SSL_new(context.ssl_ctx.get());
}

FilterProvider openssl_tls_provider() {
    openssl_load_providers();
    return FilterProvider{tls_create_context, tls_destroy_context, load_certificate_entry,
                          tls_create_channel};
}

}  // namespace orvane
