// Wiping secrets with OpenSSL's cleanse, which the compiler may not optimise away.
#include "common/secret.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cctype>

namespace orvane {

void wipe_secret(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

void wipe_bytes(void* data, size_t n) {
    if (data && n) OPENSSL_cleanse(data, n);
}

void wipe_secret(Secret& secret) {
    secret.wipe();
}

bool command_carries_secret(std::string_view line) {
    if (line.size() < 4 || (line.size() > 4 && line[4] != ' ')) return false;
    std::string verb(line.substr(0, 4));
    for (char& ch : verb) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    return verb == "PASS" || verb == "ACCT";
}

namespace {
// Past any library's short-string buffer, so the text lands on the secret pages.
constexpr size_t kSecretReserve = 64;
}  // namespace

void Secret::assign(std::string_view text) {
    wipe();
    text_.reserve(std::max(text.size(), kSecretReserve));
    text_.assign(text.data(), text.size());
}

Secret& Secret::operator=(const Secret& other) {
    if (this != &other) assign(other.view());
    return *this;
}

Secret& Secret::operator=(std::string_view text) {
    assign(text);
    return *this;
}

Secret::~Secret() {
    wipe();
}

void Secret::wipe() {
    // The whole capacity: a shorter text may have followed a longer one.
    if (text_.capacity() > 0) OPENSSL_cleanse(text_.data(), text_.capacity());
    text_.clear();
}

}  // namespace orvane
