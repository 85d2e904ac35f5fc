// SSH public keys and signatures over OpenSSL: key blobs in wire form, signature blobs, the
// SHA256 fingerprint, and the one table of signature algorithms shared by the host-key check
// and the user's private key.
#pragma once

#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/base64.h"

namespace orvane::ssh {

enum class KeyKind : uint8_t { kNone, kRsa, kDss, kEd25519, kEcdsaP256 };

// The key type as it opens a blob: "ssh-rsa", "ssh-dss", "ssh-ed25519", "ecdsa-sha2-nistp256".
const char* key_type_name(KeyKind kind);
KeyKind key_kind_of_type(std::string_view type);
// The kind a signature algorithm signs with ("rsa-sha2-256" is an RSA key); kNone when unknown.
KeyKind key_kind_of_algorithm(std::string_view algorithm);

// An owned OpenSSL key; freed (private parts cleared by OpenSSL) when the owner goes.
class EvpKey {
  public:
    EvpKey() = default;
    explicit EvpKey(EVP_PKEY* key) : key_(key) {}
    ~EvpKey() { EVP_PKEY_free(key_); }
    EvpKey(EvpKey&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
    EvpKey& operator=(EvpKey&& other) noexcept;
    EvpKey(const EvpKey&) = delete;
    EvpKey& operator=(const EvpKey&) = delete;
    EVP_PKEY* get() const { return key_; }
    void reset(EVP_PKEY* key = nullptr);

  private:
    EVP_PKEY* key_ = nullptr;
};

// The smallest RSA modulus a host key or user key may have.
inline constexpr int kMinRsaBits = 768;
// The largest modulus (RSA, DSA) taken from a peer: verification cost stays bounded.
inline constexpr int kMaxModulusBits = 16384;

struct PublicKey {
    KeyKind kind = KeyKind::kNone;
    EvpKey key;
    std::string blob;  // the blob as received
    int bits = 0;
};

// Reads a public-key blob; it must be consumed exactly. 0 on success; otherwise `error` says why.
int parse_public_key(std::string_view blob, PublicKey& out, std::string& error);
// A P-256 public key from its uncompressed point (65 bytes); null when it is not on the curve.
EVP_PKEY* p256_public_key(std::string_view point);
// A key from the parameters collected in `build` (`selection`: EVP_PKEY_PUBLIC_KEY or
// EVP_PKEY_KEYPAIR); the parameters' copies are wiped. nullptr when OpenSSL refuses them.
EVP_PKEY* key_from_params(const char* type, OSSL_PARAM_BLD* build, int selection);
// The blob of a key (public parts only). 0 on success.
int public_key_blob(EVP_PKEY* key, KeyKind kind, std::string& blob);

// Verifies a signature blob over `data` made with `algorithm` (the negotiated host-key
// algorithm). `compat` carries kRsaSignatureMd5 and kRawDssSignature. 0 when it holds.
int verify_signature(const PublicKey& key, std::string_view algorithm, std::string_view signature,
                     std::string_view data, uint32_t compat, std::string& error);
// Signs `data` with a private key in the signature-blob form of `algorithm`. 0 on success.
int make_signature(EVP_PKEY* key, KeyKind kind, std::string_view algorithm, std::string_view data,
                   uint32_t compat, std::string& signature, std::string& error);

// "SHA256:" and the unpadded base64 SHA-256 digest of a blob, as OpenSSH shows it.
std::string fingerprint_sha256(std::string_view blob);

// The cause OpenSSL gives for its latest failure (and its error queue emptied); "" when none.
std::string openssl_cause();

}  // namespace orvane::ssh
