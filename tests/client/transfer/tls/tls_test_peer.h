// Test peers for the TLS channel: certificates made with OpenSSL and an in-memory TLS server.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "client/transfer/net/filter.h"
#include "tests/support/any_certificate.h"

namespace orvane::test {

// The configuration of a client channel on the context.
inline FilterConfig tls_config(TlsContext* context) {
    FilterConfig config;
    config.tls_context = context;
    config.certificate = any_certificate();
    return config;
}

struct KeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct CertFree {
    void operator()(X509* p) const { X509_free(p); }
};
struct SslFreeT {
    void operator()(SSL* p) const { SSL_free(p); }
};
struct CtxFreeT {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;

// A P-256 key and a certificate with common name `cn`, signed by `issuer` (self-signed when null).
struct Identity {
    KeyPtr key;
    CertPtr cert;
};
Identity make_identity(const std::string& cn, const Identity* issuer, bool ca);

void write_cert_pem(const std::string& path, const std::vector<X509*>& certs);
// Unencrypted when password is empty, else AES-256-CBC.
void write_key_pem(const std::string& path, EVP_PKEY* key, const std::string& password);
// legacy: the RC2/3DES encryption of old PKCS#12 files instead of OpenSSL 3's AES default.
void write_pkcs12(const std::string& path, const Identity& id, const std::vector<X509*>& ca,
                  const std::string& password, bool legacy = false);

// A TLS server context on a fresh self-signed identity.
struct ServerOptions {
    int max_version = 0;                // 0: the highest OpenSSL offers
    X509* require_client_ca = nullptr;  // set: client certificates verified against this root
};
class MemoryServer {
  public:
    explicit MemoryServer(const ServerOptions& options = {});
    SSL_CTX* ctx() const { return ctx_.get(); }
    X509* cert() const { return identity_.cert.get(); }

  private:
    Identity identity_;
    std::unique_ptr<SSL_CTX, CtxFreeT> ctx_;
};

// One server end in memory, connected to one client channel.
class MemoryLink {
  public:
    MemoryLink(MemoryServer& server, ByteFilter& client);
    SSL* server() const { return ssl_.get(); }
    BIO* server_in() const { return in_; }
    BIO* server_out() const { return out_; }
    // Moves ciphertext both ways and advances the server's handshake until nothing moves.
    // Plaintext the client receives is appended to client_received.
    void pump();
    // Pumps until both handshakes finished or a side failed; true when both finished.
    bool handshake();
    std::string client_received;

  private:
    ByteFilter& client_;
    std::unique_ptr<SSL, SslFreeT> ssl_;
    BIO* in_;
    BIO* out_;
};

}  // namespace orvane::test
