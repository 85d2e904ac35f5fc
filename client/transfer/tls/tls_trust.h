// Trust in TLS servers: a certificate the CA store verifies for the host's name, else the key the
// server presented on first use, unless the run asks for a CA file, a pinned key, the CA store
// alone, or no check at all.
#pragma once

#include <openssl/x509.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/transfer/net/filter.h"

namespace orvane {

// What a run trusts (its command line, or the environment for scheduled tasks).
struct TlsTrustSettings {
    std::string ca_file;           // trust this CA or server certificate instead of the system's store
    std::string pin;               // accept only this key, "sha256/BASE64"
    bool strict = false;           // the CA store and the name only: nothing is learnt on first use
    bool insecure = false;         // accept anything, with a warning on every connection
    std::string known_certs_file;  // empty: default_known_certs_file()
};

// True for "sha256/" and the base64 of 32 bytes.
bool valid_key_text(const std::string& text);
// The certificate's public key as "sha256/BASE64": SHA-256 of its SubjectPublicKeyInfo, which
// stays the same when a server renews its certificate with the same key.
std::string certificate_key_text(X509* certificate);

struct X509StoreFree {
    void operator()(X509_STORE* p) const { X509_STORE_free(p); }
};

// The trust policy of one run. load() runs on the requester's thread before the first connection;
// check() runs on connection threads during handshakes (through decision()). A first-used key is
// recorded before the server is accepted, so a key that cannot be recorded refuses the connection
// instead of being accepted and forgotten.
class TlsTrustPolicy {
  public:
    TlsTrustPolicy() = default;
    TlsTrustPolicy(const TlsTrustPolicy&) = delete;
    TlsTrustPolicy& operator=(const TlsTrustPolicy&) = delete;

    // Loads the trust store (the CA file, else OpenSSL's default paths) and the known-certificates
    // file. What fails is kept as the reason to refuse the connections that need it.
    void load(const TlsTrustSettings& settings);
    // The policy as TLS channels ask it; valid while this object lives.
    CertificateDecision decision();
    // 0 when the server presented in `query` is accepted; 1 with the reason in `refusal`.
    int check(const CertificateQuery& query, std::string& refusal);

  private:
    int verify_chain(const CertificateQuery& query, std::string& reason) const;
    int check_first_use(const CertificateQuery& query, const std::string& key, std::string& refusal);

    TlsTrustSettings settings_;
    std::unique_ptr<X509_STORE, X509StoreFree> store_;
    std::string store_error_;
    // Keys of the certificates in the CA file: one of them presented by the server is trusted as
    // it stands, the way a user who names a server's own certificate means it.
    std::vector<std::string> ca_file_keys_;
    std::string file_;        // the known-certificates file
    std::string file_error_;  // why it cannot be used; empty when it can
    std::mutex lock_;         // guards text_: handshakes of several threads check at once
    std::string text_;
};

}  // namespace orvane
