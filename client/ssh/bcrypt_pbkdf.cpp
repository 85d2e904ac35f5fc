// bcrypt_pbkdf as OpenBSD defines it, with the Blowfish key schedule it needs written out
// (OpenSSL's Blowfish does not expose the "expensive" schedule).
#include "client/ssh/bcrypt_pbkdf.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

#include "common/secret.h"

namespace orvane::ssh {

namespace {

#include "client/ssh/blowfish_state.inc"

constexpr size_t kHashWords = 8;
constexpr size_t kHashSize = kHashWords * 4;
constexpr size_t kSha512Size = 64;

struct Blowfish {
    uint32_t p[18];
    uint32_t s[4][256];

    Blowfish() {
        std::memcpy(p, kInitialP, sizeof p);
        std::memcpy(s, kInitialS, sizeof s);
    }
    ~Blowfish() { OPENSSL_cleanse(this, sizeof *this); }

    uint32_t f(uint32_t x) const {
        return ((s[0][x >> 24] + s[1][(x >> 16) & 0xff]) ^ s[2][(x >> 8) & 0xff]) + s[3][x & 0xff];
    }

    void encipher(uint32_t& left, uint32_t& right) const {
        uint32_t l = left ^ p[0];
        uint32_t r = right;
        for (int i = 1; i <= 16; i += 2) {
            r ^= f(l) ^ p[i];
            l ^= f(r) ^ p[i + 1];
        }
        left = r ^ p[17];
        right = l;
    }

    // Four bytes of `data` as a big-endian word, cycling through it.
    static uint32_t stream_word(const uint8_t* data, size_t size, size_t& at) {
        uint32_t word = 0;
        for (int i = 0; i < 4; ++i) {
            if (at >= size) at = 0;
            word = (word << 8) | data[at++];
        }
        return word;
    }

    // The key schedule with an optional salt (`data`); without it, the plain "expand 0" step.
    void expand(const uint8_t* data, size_t data_size, const uint8_t* key, size_t key_size) {
        size_t at = 0;
        for (uint32_t& word : p) word ^= stream_word(key, key_size, at);
        at = 0;
        uint32_t left = 0, right = 0;
        auto next = [&](uint32_t& a, uint32_t& b) {
            if (data != nullptr) {
                left ^= stream_word(data, data_size, at);
                right ^= stream_word(data, data_size, at);
            }
            encipher(left, right);
            a = left;
            b = right;
        };
        for (size_t i = 0; i < 18; i += 2) next(p[i], p[i + 1]);
        for (auto& box : s)
            for (size_t i = 0; i < 256; i += 2) next(box[i], box[i + 1]);
    }
};

void bcrypt_hash(const uint8_t* sha_pass, const uint8_t* sha_salt, uint8_t* out) {
    Blowfish state;
    state.expand(sha_salt, kSha512Size, sha_pass, kSha512Size);
    for (int i = 0; i < 64; ++i) {
        state.expand(nullptr, 0, sha_salt, kSha512Size);
        state.expand(nullptr, 0, sha_pass, kSha512Size);
    }
    static const char kText[] = "OxychromaticBlowfishSwatDynamite";
    uint32_t words[kHashWords];
    size_t at = 0;
    for (uint32_t& w : words)
        w = Blowfish::stream_word(reinterpret_cast<const uint8_t*>(kText), kHashSize, at);
    for (int i = 0; i < 64; ++i)
        for (size_t j = 0; j < kHashWords; j += 2) state.encipher(words[j], words[j + 1]);
    for (size_t i = 0; i < kHashWords; ++i) {  // little-endian out, as the reference does
        out[4 * i + 0] = static_cast<uint8_t>(words[i]);
        out[4 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
        out[4 * i + 2] = static_cast<uint8_t>(words[i] >> 16);
        out[4 * i + 3] = static_cast<uint8_t>(words[i] >> 24);
    }
    OPENSSL_cleanse(words, sizeof words);
}

bool sha512(const void* data, size_t size, uint8_t* out) {
    unsigned int n = 0;
    return EVP_Digest(data, size, out, &n, EVP_sha512(), nullptr) == 1 && n == kSha512Size;
}

}  // namespace

int bcrypt_pbkdf(std::string_view pass, std::string_view salt, uint32_t rounds, size_t length,
                 std::string& key) {
    wipe_secret(key);
    if (rounds == 0 || salt.empty() || salt.size() > 1024 || length == 0 || length > 1024) return 1;
    uint8_t sha_pass[kSha512Size], sha_salt[kSha512Size];
    uint8_t out[kHashSize], block[kHashSize];
    std::string count_salt(salt);
    count_salt.append(4, '\0');
    key.assign(length, '\0');
    size_t stride = (length + kHashSize - 1) / kHashSize;
    size_t amount = (length + stride - 1) / stride;
    size_t left = length;
    int status = sha512(pass.data(), pass.size(), sha_pass) ? 0 : 1;
    for (uint32_t count = 1; status == 0 && left > 0; ++count) {
        for (int i = 0; i < 4; ++i) count_salt[salt.size() + i] = static_cast<char>(count >> (24 - 8 * i));
        if (!sha512(count_salt.data(), count_salt.size(), sha_salt)) {
            status = 1;
            break;
        }
        bcrypt_hash(sha_pass, sha_salt, block);
        std::memcpy(out, block, sizeof out);
        for (uint32_t r = 1; r < rounds; ++r) {
            if (!sha512(block, sizeof block, sha_salt)) {
                status = 1;
                break;
            }
            bcrypt_hash(sha_pass, sha_salt, block);
            for (size_t j = 0; j < sizeof out; ++j) out[j] ^= block[j];
        }
        // The output is spread: byte i of this block lands at i * stride + (count - 1).
        size_t take = std::min(amount, left);
        size_t i = 0;
        for (; i < take; ++i) {
            size_t dest = i * stride + (count - 1);
            if (dest >= length) break;
            key[dest] = static_cast<char>(out[i]);
        }
        left -= i;
    }
    OPENSSL_cleanse(sha_pass, sizeof sha_pass);
    OPENSSL_cleanse(sha_salt, sizeof sha_salt);
    OPENSSL_cleanse(out, sizeof out);
    OPENSSL_cleanse(block, sizeof block);
    if (status != 0) wipe_secret(key);
    return status;
}

}  // namespace orvane::ssh
