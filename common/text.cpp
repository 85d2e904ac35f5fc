// Text helpers.
#include "common/text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

namespace orvane {

std::string vformat(const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = vformat(fmt, ap);
    va_end(ap);
    return s;
}

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string to_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = ascii_lower(c);
    return out;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

bool istarts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

size_t leading_digits(std::string_view s) {
    size_t n = 0;
    while (n < s.size() && s[n] >= '0' && s[n] <= '9') ++n;
    return n;
}

bool parse_decimal(std::string_view s, uint64_t& out, size_t max_digits) {
    if (s.empty() || s.size() > max_digits) return false;
    uint64_t v = 0;
    // from_chars takes no blanks and no sign for an unsigned type: only digits reach the end.
    auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (error != std::errc() || end != s.data() + s.size()) return false;
    out = v;
    return true;
}

uint64_t parse_decimal_prefix_saturating(std::string_view s, uint64_t ceiling) {
    if (s.empty()) return 0;
    uint64_t v = 0;
    std::errc error = std::from_chars(s.data(), s.data() + s.size(), v).ec;
    if (error == std::errc::result_out_of_range) return ceiling;
    if (error != std::errc()) return 0;
    return std::min(v, ceiling);
}

}  // namespace orvane
