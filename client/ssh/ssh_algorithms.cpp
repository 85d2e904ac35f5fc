// The cipher, MAC and compression tables.
#include "client/ssh/ssh_algorithms.h"

#include "client/ssh/ssh_compat.h"

namespace orvane::ssh {

namespace {

constexpr SshCipherSpec kCiphers[] = {
    {"3des-cbc", 8, 24, 8, CipherKind::kBlock, "DES-EDE3-CBC", 0},
    {"blowfish-cbc", 8, 16, 8, CipherKind::kBlock, "BF-CBC", 0},
    {"cast128-cbc", 8, 16, 8, CipherKind::kBlock, "CAST5-CBC", 0},
    {"arcfour", 8, 16, 0, CipherKind::kStream, "RC4", 0},
    {"aes128-cbc", 16, 16, 16, CipherKind::kBlock, "AES-128-CBC", 0},
    {"aes192-cbc", 16, 24, 16, CipherKind::kBlock, "AES-192-CBC", 0},
    {"aes256-cbc", 16, 32, 16, CipherKind::kBlock, "AES-256-CBC", 0},
    {"rijndael-cbc@lysator.liu.se", 16, 32, 16, CipherKind::kBlock, "AES-256-CBC", 0},
    {"aes128-ctr", 16, 16, 16, CipherKind::kBlock, "AES-128-CTR", 0},
    {"aes192-ctr", 16, 24, 16, CipherKind::kBlock, "AES-192-CTR", 0},
    {"aes256-ctr", 16, 32, 16, CipherKind::kBlock, "AES-256-CTR", 0},
    {"aes128-gcm@openssh.com", 16, 16, 12, CipherKind::kGcm, "AES-128-GCM", 16},
    {"aes256-gcm@openssh.com", 16, 32, 12, CipherKind::kGcm, "AES-256-GCM", 16},
    {"chacha20-poly1305@openssh.com", 8, 64, 0, CipherKind::kChaChaPoly, "ChaCha20", 16},
    {"none", 8, 0, 0, CipherKind::kNone, "", 0},
};

constexpr SshMacSpec kMacs[] = {
    {"hmac-sha1", "SHA1", 20, 0, false},
    {"hmac-sha1-96", "SHA1", 20, 96, false},
    {"hmac-md5", "MD5", 16, 0, false},
    {"hmac-md5-96", "MD5", 16, 96, false},
    {"hmac-ripemd160", "RIPEMD160", 20, 0, false},
    {"hmac-ripemd160@openssh.com", "RIPEMD160", 20, 0, false},
    {"hmac-sha2-256", "SHA2-256", 32, 0, false},
    {"hmac-sha2-512", "SHA2-512", 64, 0, false},
    {"hmac-sha2-256-etm@openssh.com", "SHA2-256", 32, 0, true},
    {"hmac-sha2-512-etm@openssh.com", "SHA2-512", 64, 0, true},
    {"hmac-sha1-etm@openssh.com", "SHA1", 20, 0, true},
};

}  // namespace

const SshCipherSpec* find_cipher(std::string_view name) {
    for (const SshCipherSpec& c : kCiphers)
        if (name == c.name) return &c;
    return nullptr;
}

const SshMacSpec* find_mac(std::string_view name) {
    for (const SshMacSpec& m : kMacs)
        if (name == m.name) return &m;
    return nullptr;
}

bool find_compression(std::string_view name, CompressionKind& kind) {
    if (name == "none") {
        kind = CompressionKind::kNone;
    } else if (name == "zlib") {
        kind = CompressionKind::kZlib;
    } else if (name == "zlib@openssh.com") {
        kind = CompressionKind::kZlibDelayed;
    } else {
        return false;
    }
    return true;
}

const SshCipherSpec* null_cipher() {
    return &kCiphers[sizeof kCiphers / sizeof kCiphers[0] - 1];
}

size_t mac_key_length(const SshMacSpec& mac, uint32_t compat) {
    return (compat & kShortMacKey) ? 16 : mac.digest_length;
}

size_t mac_length(const SshMacSpec& mac) {
    return mac.truncation_bits ? mac.truncation_bits / 8 : mac.digest_length;
}

size_t cipher_count() {
    return sizeof kCiphers / sizeof kCiphers[0];
}
const SshCipherSpec& cipher_at(size_t index) {
    return kCiphers[index];
}
size_t mac_count() {
    return sizeof kMacs / sizeof kMacs[0];
}
const SshMacSpec& mac_at(size_t index) {
    return kMacs[index];
}

}  // namespace orvane::ssh
