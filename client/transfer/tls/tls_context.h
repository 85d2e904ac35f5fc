// The TLS context an engine's connections share: OpenSSL's SSL_CTX, its options and the client certificate.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <mutex>
#include <string>

#include "client/transfer/net/filter.h"
#include "common/limits.h"

namespace orvane {

struct SslCtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};

struct TlsContext {
    std::unique_ptr<SSL_CTX, SslCtxFree> ssl_ctx;
    // Certificate loads change the SSL_CTX while event threads create SSL objects from it.
    std::mutex lock;
    // Handed to OpenSSL by the password callback; reserved once so it never moves unwiped.
    std::string password;

    ~TlsContext();
};

// A context for TLS clients: any protocol version OpenSSL still allows, the cipher list below,
// client-side session capture for reuse by data connections. Null on failure.
TlsContext* tls_create_context();
void tls_destroy_context(TlsContext* context);

// The client certificate of every TLS connection made on the context. A certificate file whose
// extension is "pem" (any case) holds the certificate and its chain in PEM; the key comes from
// key_file in PEM when that is not empty (the password decrypts it). Any other file is PKCS#12,
// unlocked with the password; its CA certificates go into the chain sent with the certificate.
// 0 on success; 1 when a file cannot be read or parsed, the password is too long or does not
// unlock it, or key and certificate do not match; the context is then unchanged.
int tls_load_client_certificate(TlsContext& context, const std::string& certificate_file,
                                const std::string& key_file, const std::string& password);

// A new SSL object on the context, under its lock. Null on failure.
SSL* tls_context_new_ssl(TlsContext& context);

// The OpenSSL TLS provider of an engine's filter providers: contexts as above, channels over them.
// Loads OpenSSL's providers first, so that a run finds them in place from its start.
FilterProvider openssl_tls_provider();

}  // namespace orvane
