// The EHLO announcement reader and the printable form of reply lines.
#include "client/transfer/smtp/smtp_capabilities.h"

#include "common/text.h"

namespace orvane {

namespace {

// The keyword is the whole text, or the text's first word.
bool is_keyword(std::string_view text, std::string_view keyword) {
    if (text.substr(0, keyword.size()) != keyword) return false;
    return text.size() == keyword.size() || text[keyword.size()] == ' ' || text[keyword.size()] == '\r';
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

}  // namespace

SmtpCapabilities parse_ehlo_reply(const std::vector<std::string>& lines) {
    SmtpCapabilities caps;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string line = upper(lines[i]);
        if (line.size() <= 4) continue;
        std::string_view text = std::string_view(line).substr(4);
        if (text.substr(0, 4) == "AUTH") {
            if (line.find("LOGIN") != std::string::npos) {
                caps.auth = SmtpAuth::kLogin;
            } else if (line.find("PLAIN") != std::string::npos) {
                caps.auth = SmtpAuth::kPlain;
            } else {
                caps.auth = SmtpAuth::kUnsupported;
            }
        } else if (is_keyword(text, "STARTTLS")) {
            caps.starttls = true;
        } else if (is_keyword(text, "8BITMIME")) {
            caps.eight_bit_mime = true;
        }
    }
    return caps;
}

std::string printable_line(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    for (unsigned char c : line) {
        if (c < 0x20 || c == 0x7f) {
            out += format("\\x%02x", c);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

}  // namespace orvane
