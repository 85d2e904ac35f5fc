// FTP reply and command texts; all pure functions over bounded views, nothing is trusted.
#include "client/transfer/text/ftp_text.h"

#include "client/transfer/text/reply_reader.h"
#include "common/text.h"
#include "common/time_text.h"

namespace orvane {
namespace {

bool digit(char c) {
    return c >= '0' && c <= '9';
}

// A number 0..255 at `i` (at most three digits); advances `i`.
bool read_byte(std::string_view s, size_t& i, int& v) {
    std::string_view digits = digit_prefix(s.substr(i));
    uint64_t value = 0;
    if (!parse_decimal(digits, value, 3) || value > 255) return false;
    i += digits.size();
    v = static_cast<int>(value);
    return true;
}

void skip_spaces(std::string_view s, size_t& i) {
    while (i < s.size() && s[i] == ' ') ++i;
}

// Six numbers "h1,h2,h3,h4,p1,p2" starting at `i`.
bool read_six(std::string_view s, size_t i, int (&v)[6]) {
    for (int n = 0; n < 6; ++n) {
        if (n > 0) {
            skip_spaces(s, i);
            if (i >= s.size() || s[i] != ',') return false;
            ++i;
            skip_spaces(s, i);
        }
        if (!read_byte(s, i, v[n])) return false;
    }
    return true;
}

}  // namespace

int parse_pasv_reply(std::string_view line, PassiveAddress& out) {
    // Skip the reply code so its digits are not taken for the address.
    size_t from = final_line_code(line) >= 0 ? 4 : 0;
    size_t paren = line.find('(', from);
    if (paren != std::string_view::npos) from = paren + 1;
    int v[6];
    for (size_t i = from; i < line.size(); ++i) {
        if (!digit(line[i]) || (i > from && digit(line[i - 1]))) continue;
        if (!read_six(line, i, v)) continue;
        int port = v[4] * 256 + v[5];
        if (port == 0) return 1;
        out.host = format("%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
        out.port = port;
        return 0;
    }
    return 1;
}

int build_port_command(std::string_view ipv4, int port, std::string& out) {
    if (port < 1 || port > 65535) return 1;
    int v[4];
    size_t i = 0;
    for (int n = 0; n < 4; ++n) {
        if (n > 0) {
            if (i >= ipv4.size() || ipv4[i] != '.') return 1;
            ++i;
        }
        if (!read_byte(ipv4, i, v[n])) return 1;
    }
    if (i != ipv4.size()) return 1;
    out = format("PORT %d,%d,%d,%d,%d,%d", v[0], v[1], v[2], v[3], port >> 8, port & 0xFF);
    return 0;
}

std::string_view reply_token(std::string_view line) {
    size_t space = line.find(' ');
    if (space == std::string_view::npos) return {};
    std::string_view rest = line.substr(space + 1);
    return rest.substr(0, rest.find(' '));
}

int reply_quoted_path(std::string_view line, std::string& out) {
    size_t open = line.find('"');
    if (open == std::string_view::npos) return 1;
    std::string path;
    for (size_t i = open + 1; i < line.size(); ++i) {
        if (line[i] != '"') {
            path.push_back(line[i]);
        } else if (i + 1 < line.size() && line[i + 1] == '"') {
            path.push_back('"');
            ++i;
        } else {
            out = std::move(path);
            return 0;
        }
    }
    return 1;
}

int parse_mdtm_time(std::string_view text, uint64_t& filetime) {
    if (final_line_code(text) >= 0) text = reply_token(text);
    CalendarTime t;
    if (parse_time_text(text, t) != 0) return 1;
    filetime = filetime_from_calendar(t);
    return 0;
}

bool parse_decimal_size(std::string_view text, uint64_t& out) {
    return parse_decimal(text, out, kSizeDigits);
}

std::string mdtm_time_text(uint64_t filetime) {
    return time_text(calendar_from_filetime(filetime));
}

}  // namespace orvane
