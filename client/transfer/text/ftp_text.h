// Texts of FTP replies and commands: PASV addresses, the PORT argument, MDTM times, PWD paths, tokens.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvane {

struct PassiveAddress {
    std::string host;  // dotted IPv4 address
    int port = 0;      // 1..65535
};

// The address and port of a 227 reply line: six comma-separated numbers (each 0..255, spaces
// allowed around the commas), in parentheses or not. 0 on success, 1 when the line holds no
// address or a port of 0.
int parse_pasv_reply(std::string_view line, PassiveAddress& out);

// "PORT h1,h2,h3,h4,p1,p2" for a dotted IPv4 address and a port. 0 on success, 1 when the address
// is not four numbers 0..255 or the port is outside 1..65535 (out is then left alone).
int build_port_command(std::string_view ipv4, int port, std::string& out);

// The token of a reply line: the text after the first space up to the next space or the end.
// Empty when there is none.
std::string_view reply_token(std::string_view line);

// The quoted path of a PWD or MKD reply line: the text between the opening quote and its closing
// quote, where a doubled quote inside stands for one quote. 0 on success, 1 when there is none.
int reply_quoted_path(std::string_view line, std::string& out);

// The FILETIME (UTC) of an MDTM answer: a "213 yyyymmddhhmmss[.fff]" line, or the time text alone.
// 0 on success, 1 when the text is not a valid time.
int parse_mdtm_time(std::string_view text, uint64_t& filetime);

// A byte count as FTP servers write it (SIZE answers, "(N bytes)"): decimal digits only, at most
// kSizeDigits of them. False when it is not one.
inline constexpr size_t kSizeDigits = 19;
bool parse_decimal_size(std::string_view text, uint64_t& out);

// The yyyymmddhhmmss text of a FILETIME (UTC), as sent with "MDTM time name" to set a file's time.
std::string mdtm_time_text(uint64_t filetime);

}  // namespace orvane
