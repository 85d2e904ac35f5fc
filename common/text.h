// Text helpers shared by every subsystem: printf-style formatting, bounded copies, case rules.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane {

// printf-style formatting into a std::string (no fixed buffer).
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, va_list ap);

// The text cut to at most `capacity` characters: how fixed-capacity fields keep their limits.
inline std::string cut(std::string_view s, size_t capacity) {
    return std::string(s.substr(0, capacity));
}

char ascii_lower(char c);
std::string to_lower(std::string_view s);
bool iequals(std::string_view a, std::string_view b);
// True when `s` begins with `prefix`, compared without regard to case.
bool istarts_with(std::string_view s, std::string_view prefix);

// Decimal numbers. Only the digits 0 to 9 count: no blanks, no sign, no grouping; leading zeros
// are digits like any other.

// How many digits `s` begins with.
size_t leading_digits(std::string_view s);
// The digits `s` begins with (empty when there are none).
inline std::string_view digit_prefix(std::string_view s) {
    return s.substr(0, leading_digits(s));
}
// The whole text as a number, failing: true when `s` is 1 to `max_digits` digits whose value fits
// 64 bits. Otherwise (empty, another character, too many digits, overflow) false, `out` untouched.
bool parse_decimal(std::string_view s, uint64_t& out, size_t max_digits = SIZE_MAX);
// The digits at the start of `s` as a number, saturating: every leading digit is read and the value
// is capped at `ceiling`; whatever follows the digits is ignored. 0 when `s` begins with no digit.
uint64_t parse_decimal_prefix_saturating(std::string_view s, uint64_t ceiling = UINT64_MAX);

}  // namespace orvane
