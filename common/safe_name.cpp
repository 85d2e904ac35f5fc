// Safe path components and escaped server text.
#include "common/safe_name.h"

namespace orvane {

namespace {

// The length of the control character starting at `i` (1, or 2 for a UTF-8 C1 character), or 0.
size_t control_length(std::string_view text, size_t i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return 1;
    if (c == 0xc2 && i + 1 < text.size()) {
        unsigned char d = static_cast<unsigned char>(text[i + 1]);
        if (d >= 0x80 && d <= 0x9f) return 2;
    }
    return 0;
}

void append_hex(std::string& out, unsigned char c) {
    static const char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[c >> 4];
    out += kDigits[c & 0x0f];
}

}  // namespace

bool is_safe_name(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '/' || name[i] == '\\' || control_length(name, i) != 0) return false;
    }
    return true;
}

std::string escape_controls(std::string_view text, bool keep_line_ends) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool line_end = c == '\n' || (c == '\r' && (i + 1 == text.size() || text[i + 1] == '\n'));
        size_t n = control_length(text, i);
        if (n == 0 || c == '\t' || (keep_line_ends && line_end)) {
            out += c;
            continue;
        }
        for (size_t k = 0; k < n; ++k) append_hex(out, static_cast<unsigned char>(text[i + k]));
        i += n - 1;
    }
    return out;
}

}  // namespace orvane
