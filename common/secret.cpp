// Wiping secrets with OpenSSL's cleanse, which the compiler may not optimise away.
#include "common/secret.h"

#include <openssl/crypto.h>

#include <cctype>

namespace orvane {

void wipe_secret(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

void wipe_bytes(void* data, size_t n) {
    if (data && n) OPENSSL_cleanse(data, n);
}

bool command_carries_secret(std::string_view line) {
    if (line.size() < 4 || (line.size() > 4 && line[4] != ' ')) return false;
    std::string verb(line.substr(0, 4));
    for (char& ch : verb) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    return verb == "PASS" || verb == "ACCT";
}

}  // namespace orvane
