// The key-exchange seam's shared parts: the result record's wiping and the six keys' derivation.
#include <openssl/evp.h>

#include "client/ssh/ssh_kex.h"
#include "common/secret.h"

namespace orvane::ssh {

namespace {
struct DigestContext {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    ~DigestContext() { EVP_MD_CTX_free(context); }
};
}  // namespace

KexResult::~KexResult() {
    wipe_secret(exchange_hash);
    wipe_secret(shared_secret);
}

int derive_key(const KexResult& result, std::string_view session_id, char letter, size_t length,
               bool without_secret, std::string& key) {
    wipe_secret(key);
    EVP_MD* digest = EVP_MD_fetch(nullptr, result.hash_name.c_str(), nullptr);
    if (digest == nullptr) return 1;
    DigestContext md;
    unsigned char block[EVP_MAX_MD_SIZE];
    unsigned int block_size = 0;
    int status = 0;
    // K1 = HASH(K || H || letter || session_id); Kn = HASH(K || H || K1 || ... || Kn-1).
    while (status == 0 && key.size() < length) {
        bool ok = md.context != nullptr && EVP_DigestInit_ex(md.context, digest, nullptr) == 1 &&
                  (without_secret || EVP_DigestUpdate(md.context, result.shared_secret.data(),
                                                      result.shared_secret.size()) == 1) &&
                  EVP_DigestUpdate(md.context, result.exchange_hash.data(), result.exchange_hash.size()) == 1;
        if (ok && key.empty()) {
            ok = EVP_DigestUpdate(md.context, &letter, 1) == 1 &&
                 EVP_DigestUpdate(md.context, session_id.data(), session_id.size()) == 1;
        } else if (ok) {
            ok = EVP_DigestUpdate(md.context, key.data(), key.size()) == 1;
        }
        if (!ok || EVP_DigestFinal_ex(md.context, block, &block_size) != 1 || block_size == 0) {
            status = 1;
            break;
        }
        key.append(reinterpret_cast<const char*>(block), block_size);
    }
    OPENSSL_cleanse(block, sizeof block);
    EVP_MD_free(digest);
    if (status != 0) {
        wipe_secret(key);
        return 1;
    }
    // Shorten in place (the tail is overwritten, not just forgotten).
    OPENSSL_cleanse(key.data() + length, key.size() - length);
    key.resize(length);
    return 0;
}

}  // namespace orvane::ssh
