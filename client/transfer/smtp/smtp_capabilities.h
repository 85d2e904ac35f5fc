// What a server's EHLO reply announces (authentication, STARTTLS, 8BITMIME), and reply lines made
// safe to show.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// The authentication the client chooses from the announcement.
enum class SmtpAuth : int {
    kNone = 0,     // no AUTH line
    kLogin,        // an AUTH line naming LOGIN (chosen before PLAIN)
    kPlain,        // an AUTH line naming PLAIN but not LOGIN
    kUnsupported,  // an AUTH line naming neither
};

struct SmtpCapabilities {
    SmtpAuth auth = SmtpAuth::kNone;
    bool starttls = false;
    bool eight_bit_mime = false;
};

// Reads the lines of a positive EHLO reply. The first line greets and announces nothing. Each other
// line is upper-cased and read from its fifth character (behind "250-" or "250 "): text starting
// with "AUTH" chooses LOGIN when the line holds "LOGIN", else PLAIN when it holds "PLAIN", else
// neither; a later AUTH line overrides an earlier one. "STARTTLS" and "8BITMIME" are keywords.
SmtpCapabilities parse_ehlo_reply(const std::vector<std::string>& lines);

// The line with control characters (below 32, and 127) written as "\xNN", so a server's text
// cannot move the cursor or forge output; other bytes are kept.
std::string printable_line(std::string_view line);

}  // namespace orvane
