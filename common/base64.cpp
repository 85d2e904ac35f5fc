// Base64 encoding: three bytes to four characters, "=" padding at the end.
#include "common/base64.h"

#include <openssl/evp.h>

namespace orvane {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void encode_into(std::string& out, std::string_view bytes) {
    size_t i = 0;
    auto byte = [&](size_t k) { return static_cast<unsigned>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        out.push_back(kAlphabet[v >> 18 & 63]);
        out.push_back(kAlphabet[v >> 12 & 63]);
        out.push_back(kAlphabet[v >> 6 & 63]);
        out.push_back(kAlphabet[v & 63]);
    }
    size_t rest = bytes.size() - i;
    if (rest == 0) return;
    unsigned v = byte(i) << 16 | (rest == 2 ? byte(i + 1) << 8 : 0);
    out.push_back(kAlphabet[v >> 18 & 63]);
    out.push_back(kAlphabet[v >> 12 & 63]);
    out.push_back(rest == 2 ? kAlphabet[v >> 6 & 63] : '=');
    out.push_back('=');
}

}  // namespace

std::string base64_encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    encode_into(out, bytes);
    return out;
}

std::string base64_encode_lines(std::string_view bytes, size_t line_chars) {
    size_t per_line = line_chars / 4 * 3;
    if (per_line == 0) per_line = 3;
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4 + (bytes.size() / per_line + 1) * 2);
    for (size_t i = 0; i < bytes.size(); i += per_line) {
        encode_into(out, bytes.substr(i, per_line));
        out += "\r\n";
    }
    return out;
}

int base64_decode(std::string_view text, std::string& bytes) {
    std::string padded(text);
    while (padded.size() % 4 != 0) padded += '=';
    size_t pad = 0;
    for (size_t i = padded.size(); i > 0 && padded[i - 1] == '=' && pad < 2; --i) ++pad;
    if (padded.size() > 0x7fffffff) return 1;
    bytes.assign(padded.size() / 4 * 3 + 1, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                            reinterpret_cast<const unsigned char*>(padded.data()),
                            static_cast<int>(padded.size()));
    if (n < 0 || static_cast<size_t>(n) < pad) {
        bytes.clear();
        return 1;
    }
    bytes.resize(static_cast<size_t>(n) - pad);
    return 0;
}

}  // namespace orvane
