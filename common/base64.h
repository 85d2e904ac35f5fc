// Base64 (RFC 4648, with padding): SMTP authentication and attachments, HTTP Basic authorisation,
// SSH key files and known hosts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvane {

// The bytes as one base64 text without line breaks.
std::string base64_encode(std::string_view bytes);
// The bytes as base64 lines of at most `line_chars` characters (a multiple of 4), each ending in
// CR LF; nothing for no bytes.
std::string base64_encode_lines(std::string_view bytes, size_t line_chars = 76);
// Decodes base64 (padding optional, no blanks); 0 on success, 1 for text that is not base64.
int base64_decode(std::string_view text, std::string& bytes);

}  // namespace orvane
