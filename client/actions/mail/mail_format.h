// The message text as it goes after DATA: headers in their order, the MIME parts, the body with
// dot stuffing, and the terminating dot line; the Date text and the Message-ID.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "client/actions/mail/mail_message.h"

namespace orvane {

// What the delivery adds to the message: the recipient and what the connection settled.
struct MailEnvelope {
    std::string to_name;
    std::string to_address;
    std::string date;                         // mail_date_text()
    std::string message_id;                   // mail_message_id(): 40 lowercase hex digits
    std::string local_address;                // the connection's local end, dotted
    std::vector<std::string> more_addresses;  // further recipients of the same message
};

// "Tue, 08 Dec 2026 06:57:27 +0100": the local time of `t` in the process's zone (TZ). The zone
// is the true offset from UTC, daylight saving included; "+" east of UTC, "-" at and west of it.
std::string mail_date_text(time_t t);
// A fresh identifier: SHA-1 over 20 random bytes, 44 zero bytes, the local time as a file time
// (high then low 32 bits in hex), the random bytes again and 44 zero bytes. Empty when the random
// generator fails.
std::string mail_message_id(time_t t);

// True when a byte above 127 occurs.
bool has_8bit(std::string_view text);
// A header value as RFC 2047 encoded words (UTF-8, base64) when it holds bytes above 127, folded
// onto continuation lines; the value itself otherwise.
std::string encode_header_text(std::string_view value);

// The whole DATA content: header lines, an empty line, the body (and parts), and "\r\n.\r\n".
// A pure ASCII message without attachments carries exactly the five designed headers.
std::string build_message_text(const MailMessage& m, const MailEnvelope& e);

}  // namespace orvane
