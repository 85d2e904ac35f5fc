// The cipher, MAC and compression tables of our SSH client: names as they appear in a KEXINIT,
// with the sizes the packet layer and the key derivation need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvane::ssh {

enum class CipherKind : uint8_t {
    kNone,        // plaintext, only before the first NEWKEYS
    kBlock,       // a block cipher in CBC or CTR mode: whole blocks, encrypted in place
    kStream,      // RC4 ("arcfour"): no IV
    kGcm,         // AES-GCM as OpenSSH defines it: length in clear as AAD, 16-byte tag
    kChaChaPoly,  // chacha20-poly1305@openssh.com: length under its own key, Poly1305 tag
};

struct SshCipherSpec {
    const char* name;
    size_t block_size;  // padding unit; 8 for stream ciphers
    size_t key_length;
    size_t iv_length;  // bytes taken from the derived IV ('A'/'B'); 0 when unused
    CipherKind kind;
    const char* evp_name;  // the OpenSSL cipher as EVP_CIPHER_fetch names it
    size_t tag_length;     // AEAD tag; 0 otherwise
};

struct SshMacSpec {
    const char* name;
    const char* digest;  // the OpenSSL digest as EVP_MAC's "digest" parameter names it
    size_t digest_length;
    size_t truncation_bits;  // 0: the whole digest
    bool encrypt_then_mac;   // the "-etm@openssh.com" family: MAC over the ciphertext
};

enum class CompressionKind : uint8_t {
    kNone,
    kZlib,         // "zlib": deflate from NEWKEYS on
    kZlibDelayed,  // "zlib@openssh.com": deflate once user authentication has succeeded
};

// Table rows by name; null for a name not in the table.
const SshCipherSpec* find_cipher(std::string_view name);
const SshMacSpec* find_mac(std::string_view name);
// False for a name not in the table.
bool find_compression(std::string_view name, CompressionKind& kind);
// The "none" cipher row.
const SshCipherSpec* null_cipher();

// MAC key length: the digest size, or 16 when the peer has kShortMacKey.
size_t mac_key_length(const SshMacSpec& mac, uint32_t compat);
// Bytes of MAC on the wire: the digest size, or the truncation.
size_t mac_length(const SshMacSpec& mac);
inline bool is_aead(const SshCipherSpec& cipher) {
    return cipher.kind == CipherKind::kGcm || cipher.kind == CipherKind::kChaChaPoly;
}

// Every cipher and MAC row, for tests that sweep the tables.
size_t cipher_count();
const SshCipherSpec& cipher_at(size_t index);
size_t mac_count();
const SshMacSpec& mac_at(size_t index);

}  // namespace orvane::ssh
