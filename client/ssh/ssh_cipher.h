// One direction's cipher and MAC over OpenSSL 3 EVP: block and stream ciphers encrypt whole
// packets in place; AES-GCM and chacha20-poly1305 seal and open a packet with its tag.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "client/ssh/ssh_algorithms.h"

namespace orvane::ssh {

class PacketCipher {
  public:
    PacketCipher() = default;
    ~PacketCipher();
    PacketCipher(const PacketCipher&) = delete;
    PacketCipher& operator=(const PacketCipher&) = delete;

    // Keys the cipher for one direction. 0 on success; 1 with the cause in `error`.
    int init(const SshCipherSpec& spec, std::string_view key, std::string_view iv, bool encrypt,
             std::string& error);
    const SshCipherSpec& spec() const { return *spec_; }

    // Block and stream ciphers: n bytes (whole blocks) in place. 0 on success.
    int crypt(uint8_t* data, size_t n);

    // AEAD ciphers. A packet is its 4-byte length followed by `length` bytes. Seal encrypts it in
    // place and writes the tag; open checks the tag first and decrypts only a sound packet
    // (1: the tag does not match, or the library failed).
    int seal(uint32_t sequence, uint8_t* packet, size_t n, uint8_t* tag);
    int open(uint32_t sequence, uint8_t* packet, size_t n, const uint8_t* tag);
    // chacha20-poly1305: the packet length from its encrypted 4 bytes (left as they are).
    uint32_t chacha_length(uint32_t sequence, const uint8_t* encrypted_length);

  private:
    int chacha_iv(EVP_CIPHER_CTX* ctx, uint32_t counter, uint32_t sequence);
    int poly1305_tag(uint32_t sequence, const uint8_t* data, size_t n, uint8_t* tag);

    const SshCipherSpec* spec_ = nullptr;
    EVP_CIPHER_CTX* main_ = nullptr;
    EVP_CIPHER_CTX* header_ = nullptr;  // chacha20-poly1305: the key of the length field
    uint8_t gcm_iv_[12] = {};
    bool encrypt_ = false;
};

class PacketMac {
  public:
    PacketMac() = default;
    ~PacketMac();
    PacketMac(const PacketMac&) = delete;
    PacketMac& operator=(const PacketMac&) = delete;

    int init(const SshMacSpec& spec, std::string_view key, std::string& error);
    const SshMacSpec& spec() const { return *spec_; }
    size_t length() const { return mac_length(*spec_); }
    // The MAC of sequence number || data, cut to length(), into `out` (EVP_MAX_MD_SIZE bytes).
    int compute(uint32_t sequence, const uint8_t* data, size_t n, uint8_t* out);

  private:
    const SshMacSpec* spec_ = nullptr;
    EVP_MAC_CTX* context_ = nullptr;
};

}  // namespace orvane::ssh
