// Wiping secrets with OpenSSL's cleanse, which the compiler may not optimise away.
#include "common/secret.h"

#include <openssl/crypto.h>

namespace orvane {

void wipe_secret(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

void wipe_bytes(void* data, size_t n) {
    if (data && n) OPENSSL_cleanse(data, n);
}

}  // namespace orvane
