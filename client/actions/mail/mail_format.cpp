// Message text: headers, MIME parts, dot stuffing, the Date text and the Message-ID.
#include "client/actions/mail/mail_format.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "common/base64.h"
#include "common/text.h"
#include "platform/file.h"

namespace orvane {

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// Bytes of UTF-8 text in one encoded word: 60 base64 characters, 72 with the word's frame.
constexpr size_t kEncodedWordBytes = 45;

std::string hex(const unsigned char* data, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 15]);
    }
    return out;
}

// A display name as one phrase: encoded words when it holds bytes above 127, a quoted string when
// it holds anything but letters, digits, blanks and the harmless marks, so that a '"' or a '<' in
// it can never start another address.
std::string display_name(const std::string& name) {
    if (has_8bit(name)) return encode_header_text(name);
    bool plain = true;
    for (unsigned char c : name)
        if (!(isalnum(c) || c == ' ' || strchr("!#$%&'*+-/=?^_`{|}~", c))) plain = false;
    if (plain) return name;
    std::string out = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// "Name <address>", or "<address>" without a name.
std::string mailbox(const std::string& name, const std::string& address) {
    if (name.empty()) return "<" + address + ">";
    return display_name(name) + " <" + address + ">";
}

void append_body(std::string& out, const std::vector<std::string>& chunks) {
    for (const std::string& chunk : chunks) {
        if (!chunk.empty() && chunk[0] == '.') out.push_back('.');
        out += chunk;
        out += "\r\n";
    }
}

// A file name for a MIME parameter: quoted when plain printable ASCII, else RFC 2231 encoded.
std::string file_name_parameter(const char* parameter, const std::string& name) {
    bool plain = true;
    for (unsigned char c : name)
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') plain = false;
    if (plain) return std::string(parameter) + "=\"" + name + "\"";
    std::string out = std::string(parameter) + "*=UTF-8''";
    static const char kDigits[] = "0123456789ABCDEF";
    for (unsigned char c : name) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '-' || c == '_';
        if (keep) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kDigits[c >> 4]);
            out.push_back(kDigits[c & 15]);
        }
    }
    return out;
}

}  // namespace

std::string mail_date_text(time_t t) {
    struct tm local {};
    localtime_r(&t, &local);
    long east = local.tm_gmtoff;
    long magnitude = std::labs(east);
    return format("%s, %2.2d %s %d %2.2d:%2.2d:%2.2d %c%2.2ld%2.2ld", kDays[local.tm_wday % 7], local.tm_mday,
                  kMonths[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                  east > 0 ? '+' : '-', magnitude / 3600, magnitude % 3600 / 60);
}

std::string mail_message_id(time_t t) {
    struct tm local {};
    localtime_r(&t, &local);
    uint64_t filetime = platform::filetime_from_unix(static_cast<int64_t>(t) + local.tm_gmtoff);
    std::string time_text =
        format("%x%x", static_cast<unsigned>(filetime >> 32), static_cast<unsigned>(filetime));
    unsigned char random[20];
    if (RAND_bytes(random, sizeof random) != 1) return std::string();
    static const unsigned char kZeros[44] = {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr) == 1 &&
              EVP_DigestUpdate(ctx, random, sizeof random) == 1 &&
              EVP_DigestUpdate(ctx, kZeros, sizeof kZeros) == 1 &&
              EVP_DigestUpdate(ctx, time_text.data(), time_text.size()) == 1 &&
              EVP_DigestUpdate(ctx, random, sizeof random) == 1 &&
              EVP_DigestUpdate(ctx, kZeros, sizeof kZeros) == 1 &&
              EVP_DigestFinal_ex(ctx, digest, &length) == 1;
    EVP_MD_CTX_free(ctx);
    OPENSSL_cleanse(random, sizeof random);
    return ok ? hex(digest, length) : std::string();
}

bool has_8bit(std::string_view text) {
    for (unsigned char c : text)
        if (c > 127) return true;
    return false;
}

std::string encode_header_text(std::string_view value) {
    if (!has_8bit(value)) return std::string(value);
    std::string out;
    size_t i = 0;
    while (i < value.size()) {
        size_t end = std::min(value.size(), i + kEncodedWordBytes);
        // A word holds whole characters: never end before a continuation byte.
        while (end < value.size() && end > i + 1 && (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80)
            --end;
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?" + base64_encode(value.substr(i, end - i)) + "?=";
        i = end;
    }
    return out;
}

std::string build_message_text(const MailMessage& m, const MailEnvelope& e) {
    std::string out;
    out += "From: " + mailbox(m.from_name, m.from_address) + "\r\n";
    out += "To: " + mailbox(e.to_name, e.to_address);
    for (const std::string& a : e.more_addresses) out += ", <" + a + ">";
    out += "\r\n";
    out += "Subject: " + encode_header_text(m.subject) + "\r\n";
    out += "Date: " + e.date + "\r\n";
    out += "Message-ID: <" + e.message_id + "@" + e.local_address + ">\r\n";

    bool utf8_body = false;
    for (const std::string& chunk : m.body) utf8_body = utf8_body || has_8bit(chunk);
    const char* body_type = utf8_body ? "text/plain; charset=UTF-8" : "text/plain; charset=US-ASCII";
    const char* body_encoding = utf8_body ? "8bit" : "7bit";
    bool mime = utf8_body || has_8bit(m.subject) || has_8bit(m.from_name) || has_8bit(e.to_name);

    if (m.attachments.empty()) {
        if (mime) {
            out += "MIME-Version: 1.0\r\n";
            out += std::string("Content-Type: ") + body_type + "\r\n";
            out += std::string("Content-Transfer-Encoding: ") + body_encoding + "\r\n";
        }
        out += "\r\n";
        append_body(out, m.body);
        out += "\r\n.\r\n";
        return out;
    }

    // "=_" never occurs in base64, and the identifier makes the rest unique.
    std::string boundary = "=_orvane_" + e.message_id;
    out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n";
    out += "\r\n";
    out += "This is a multi-part message in MIME format.\r\n";
    out += "\r\n--" + boundary + "\r\n";
    out += std::string("Content-Type: ") + body_type + "\r\n";
    out += std::string("Content-Transfer-Encoding: ") + body_encoding + "\r\n";
    out += "\r\n";
    append_body(out, m.body);
    for (const MailAttachment& a : m.attachments) {
        out += "\r\n--" + boundary + "\r\n";
        out += "Content-Type: " + a.content_type + "; " + file_name_parameter("name", a.name) + "\r\n";
        out += "Content-Transfer-Encoding: base64\r\n";
        out += "Content-Disposition: attachment; " + file_name_parameter("filename", a.name) + "\r\n";
        out += "\r\n";
        out += base64_encode_lines(a.bytes);
    }
    out += "\r\n--" + boundary + "--\r\n";
    out += "\r\n.\r\n";
    return out;
}

}  // namespace orvane
