// Text helpers shared by every subsystem: printf-style formatting, bounded copies, case rules.
#pragma once

#include <cstdarg>
#include <cstddef>
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

// Decimal digits at the start of `s` as an unsigned 32-bit value (wrapping, like strtoul
// cast to 32 bits would not: the value saturates at 4294967295); 0 when there are none.
unsigned long long parse_decimal_prefix(std::string_view s);

}  // namespace orvane
