// Packet ciphers and MACs over OpenSSL 3 EVP (legacy ciphers come from the legacy provider).
#include "client/ssh/ssh_cipher.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/params.h>

#include <climits>
#include <cstring>

#include "common/big_endian.h"
#include "common/openssl_init.h"

namespace orvane::ssh {

namespace {

constexpr size_t kChaChaKeyHalf = 32;

std::string openssl_reason(const char* what) {
    unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason ? std::string(what) + " (" + reason + ")" : std::string(what);
}

bool update(EVP_CIPHER_CTX* ctx, uint8_t* out, const uint8_t* in, size_t n) {
    // EVP takes int lengths; packets are at most 256 KiB, but stay correct for any size.
    while (n > 0) {
        int chunk = n > INT_MAX / 2 ? INT_MAX / 2 : static_cast<int>(n);
        int written = 0;
        if (EVP_CipherUpdate(ctx, out, &written, in, chunk) != 1 || written != chunk) return false;
        out += chunk;
        in += chunk;
        n -= static_cast<size_t>(chunk);
    }
    return true;
}

void put_be64(uint8_t* p, uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

}  // namespace

PacketCipher::~PacketCipher() {
    EVP_CIPHER_CTX_free(main_);
    EVP_CIPHER_CTX_free(header_);
    OPENSSL_cleanse(gcm_iv_, sizeof gcm_iv_);
}

int PacketCipher::init(const SshCipherSpec& spec, std::string_view key, std::string_view iv, bool encrypt,
                       std::string& error) {
    spec_ = &spec;
    encrypt_ = encrypt;
    if (spec.kind == CipherKind::kNone) return 0;
    if (key.size() < spec.key_length || iv.size() < spec.iv_length) {
        error = std::string("short key material for ") + spec.name;
        return 1;
    }
    openssl_load_providers();
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, spec.evp_name, nullptr);
    if (!cipher) {
        error = openssl_reason((std::string("cipher ") + spec.name + " is not available").c_str());
        return 1;
    }
    main_ = EVP_CIPHER_CTX_new();
    bool ok = main_ != nullptr;
    const auto* k = reinterpret_cast<const uint8_t*>(key.data());
    const auto* v = reinterpret_cast<const uint8_t*>(iv.data());
    switch (spec.kind) {
        case CipherKind::kBlock:
        case CipherKind::kStream:
            ok = ok && EVP_CipherInit_ex2(main_, cipher, nullptr, nullptr, encrypt, nullptr) == 1 &&
                 EVP_CIPHER_CTX_set_key_length(main_, static_cast<int>(spec.key_length)) == 1 &&
                 EVP_CIPHER_CTX_set_padding(main_, 0) == 1 &&
                 EVP_CipherInit_ex2(main_, nullptr, k, spec.iv_length ? v : nullptr, encrypt, nullptr) == 1;
            break;
        case CipherKind::kGcm:
            std::memcpy(gcm_iv_, v, sizeof gcm_iv_);
            ok = ok && EVP_CipherInit_ex2(main_, cipher, k, nullptr, encrypt, nullptr) == 1;
            break;
        case CipherKind::kChaChaPoly:
            // The first half keys the packet body, the second the length field.
            header_ = EVP_CIPHER_CTX_new();
            ok = ok && header_ != nullptr && EVP_CipherInit_ex2(main_, cipher, k, nullptr, 1, nullptr) == 1 &&
                 EVP_CipherInit_ex2(header_, cipher, k + kChaChaKeyHalf, nullptr, 1, nullptr) == 1;
            break;
        case CipherKind::kNone:
            break;
    }
    EVP_CIPHER_free(cipher);
    if (!ok) {
        error = openssl_reason((std::string("cipher ") + spec.name + " could not be keyed").c_str());
        return 1;
    }
    return 0;
}

int PacketCipher::crypt(uint8_t* data, size_t n) {
    if (spec_ == nullptr || spec_->kind == CipherKind::kNone || n == 0) return 0;
    return update(main_, data, data, n) ? 0 : 1;
}

int PacketCipher::chacha_iv(EVP_CIPHER_CTX* ctx, uint32_t counter, uint32_t sequence) {
    // OpenSSL's ChaCha20 IV is a 32-bit little-endian block counter and a 96-bit nonce; the
    // original construction OpenSSH uses has a 64-bit counter and the 64-bit sequence number.
    uint8_t iv[16] = {};
    iv[0] = static_cast<uint8_t>(counter);
    put_be64(iv + 8, sequence);
    return EVP_CipherInit_ex2(ctx, nullptr, nullptr, iv, 1, nullptr) == 1 ? 0 : 1;
}

int PacketCipher::poly1305_tag(uint32_t sequence, const uint8_t* data, size_t n, uint8_t* tag) {
    uint8_t poly_key[32] = {};
    int status =
        chacha_iv(main_, 0, sequence) == 0 && update(main_, poly_key, poly_key, sizeof poly_key) ? 0 : 1;
    EVP_MAC* mac = status == 0 ? EVP_MAC_fetch(nullptr, "POLY1305", nullptr) : nullptr;
    EVP_MAC_CTX* ctx = mac ? EVP_MAC_CTX_new(mac) : nullptr;
    size_t written = 0;
    if (!ctx || EVP_MAC_init(ctx, poly_key, sizeof poly_key, nullptr) != 1 ||
        EVP_MAC_update(ctx, data, n) != 1 || EVP_MAC_final(ctx, tag, &written, 16) != 1 || written != 16)
        status = 1;
    EVP_MAC_CTX_free(ctx);
    EVP_MAC_free(mac);
    OPENSSL_cleanse(poly_key, sizeof poly_key);
    return status;
}

uint32_t PacketCipher::chacha_length(uint32_t sequence, const uint8_t* encrypted_length) {
    uint8_t plain[4] = {};
    if (chacha_iv(header_, 0, sequence) != 0 || !update(header_, plain, encrypted_length, 4)) return 0;
    return load_be32(plain);
}

int PacketCipher::seal(uint32_t sequence, uint8_t* packet, size_t n, uint8_t* tag) {
    if (spec_->kind == CipherKind::kChaChaPoly) {
        if (chacha_iv(header_, 0, sequence) != 0 || !update(header_, packet, packet, 4)) return 1;
        if (chacha_iv(main_, 1, sequence) != 0 || !update(main_, packet + 4, packet + 4, n - 4)) return 1;
        return poly1305_tag(sequence, packet, n, tag);
    }
    int written = 0;
    uint8_t final_block[16];
    bool ok = EVP_CipherInit_ex2(main_, nullptr, nullptr, gcm_iv_, 1, nullptr) == 1 &&
              EVP_CipherUpdate(main_, nullptr, &written, packet, 4) == 1 &&
              update(main_, packet + 4, packet + 4, n - 4) &&
              EVP_CipherFinal_ex(main_, final_block, &written) == 1 &&
              EVP_CIPHER_CTX_ctrl(main_, EVP_CTRL_GCM_GET_TAG, 16, tag) == 1;
    // The invocation counter (the IV's last 8 bytes) counts packets.
    for (int i = 11; i >= 4 && ++gcm_iv_[i] == 0; --i) {
    }
    return ok ? 0 : 1;
}

int PacketCipher::open(uint32_t sequence, uint8_t* packet, size_t n, const uint8_t* tag) {
    if (spec_->kind == CipherKind::kChaChaPoly) {
        uint8_t expected[16];
        if (poly1305_tag(sequence, packet, n, expected) != 0) return 1;
        bool match = CRYPTO_memcmp(expected, tag, 16) == 0;
        if (!match) return 1;
        if (chacha_iv(header_, 0, sequence) != 0 || !update(header_, packet, packet, 4)) return 1;
        if (chacha_iv(main_, 1, sequence) != 0 || !update(main_, packet + 4, packet + 4, n - 4)) return 1;
        return 0;
    }
    int written = 0;
    uint8_t tag_copy[16];
    uint8_t final_block[16];
    std::memcpy(tag_copy, tag, sizeof tag_copy);
    bool ok = EVP_CipherInit_ex2(main_, nullptr, nullptr, gcm_iv_, 0, nullptr) == 1 &&
              EVP_CipherUpdate(main_, nullptr, &written, packet, 4) == 1 &&
              update(main_, packet + 4, packet + 4, n - 4) &&
              EVP_CIPHER_CTX_ctrl(main_, EVP_CTRL_GCM_SET_TAG, 16, tag_copy) == 1 &&
              EVP_CipherFinal_ex(main_, final_block, &written) == 1;
    for (int i = 11; i >= 4 && ++gcm_iv_[i] == 0; --i) {
    }
    ERR_clear_error();
    return ok ? 0 : 1;
}

PacketMac::~PacketMac() {
    EVP_MAC_CTX_free(context_);
}

int PacketMac::init(const SshMacSpec& spec, std::string_view key, std::string& error) {
    spec_ = &spec;
    openssl_load_providers();
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    context_ = mac ? EVP_MAC_CTX_new(mac) : nullptr;
    EVP_MAC_free(mac);
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(spec.digest), 0),
        OSSL_PARAM_construct_end()};
    if (!context_ ||
        EVP_MAC_init(context_, reinterpret_cast<const uint8_t*>(key.data()), key.size(), params) != 1) {
        error = openssl_reason((std::string("MAC ") + spec.name + " is not available").c_str());
        return 1;
    }
    return 0;
}

int PacketMac::compute(uint32_t sequence, const uint8_t* data, size_t n, uint8_t* out) {
    uint8_t seq[4];
    store_be32(seq, sequence);
    size_t written = 0;
    // A null key re-initialises with the key given at init.
    if (EVP_MAC_init(context_, nullptr, 0, nullptr) != 1 || EVP_MAC_update(context_, seq, 4) != 1 ||
        EVP_MAC_update(context_, data, n) != 1 ||
        EVP_MAC_final(context_, out, &written, EVP_MAX_MD_SIZE) != 1 || written != spec_->digest_length)
        return 1;
    return 0;
}

}  // namespace orvane::ssh
