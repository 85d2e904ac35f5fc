// The mail message a script builds: its fields cut at their widths, the body as line chunks, and
// the attached files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/limits.h"

namespace orvane {

// Field widths in bytes (the designed fixed-size fields without their terminating zero).
inline constexpr size_t kMailNameWidth = kPathCapacity;          // from and to names and addresses
inline constexpr size_t kMailSubjectWidth = kPathCapacity + 1;   // the subject
inline constexpr size_t kMailServerWidth = kCredentialCapacity;  // server host, user, password
// A body line longer than this is sent as several lines: SMTP allows 1000 bytes with CR LF.
inline constexpr size_t kMailChunkChars = 998;
// All attachments of one message together; a larger one is refused when it is attached.
inline constexpr size_t kMailAttachmentLimit = 32u * 1024 * 1024;

struct MailAttachment {
    std::string name;          // the file's name from its path
    std::string content_type;  // from the extension
    std::string bytes;         // the file's contents, read when attached
};

struct MailMessage {
    std::string from_name;
    std::string from_address;
    std::string subject;
    std::vector<std::string> body;  // line chunks, without line ends
    std::vector<MailAttachment> attachments;
    bool created = false;  // a mailcreate filled it (a refused one leaves none)
};

// How many bytes of the value fit `width` without cutting inside a UTF-8 sequence.
size_t cut_length(std::string_view value, size_t width);
// The value cut at `width` bytes, never inside a UTF-8 sequence.
inline std::string cut_field(std::string_view value, size_t width) {
    return std::string(value.substr(0, cut_length(value, width)));
}
// True when the value may stand in a header or an SMTP command: no CR, LF or NUL.
bool header_value_ok(std::string_view value);
// A mail address that can only be one address in an envelope: no "<", ">", blank or control
// character (a ">" and a blank would turn the rest into ESMTP parameters of MAIL or RCPT).
bool address_ok(std::string_view address);
// The body text as line chunks: CR and LF end a chunk, runs of them end only one (blank lines
// disappear), and a chunk that reaches kMailChunkChars is closed and the line goes on in the next
// (a UTF-8 character is never split between two chunks).
std::vector<std::string> split_body(std::string_view text);

// Fills the message afresh (attachments are dropped). 0 on success; 1 when a header value holds a
// line break, with the message in `error` and no message left (a later send must not deliver an
// earlier one to the new recipient).
int fill_message(MailMessage& m, std::string_view from_name, std::string_view from_address,
                 std::string_view subject, std::string_view body, std::string& error);

// The MIME type for a file name's extension; "application/octet-stream" when unknown.
const char* content_type_for(std::string_view file_name);
// Reads the file and attaches it. 0 on success; 1 with a message naming the file (and the
// system's reason) in `error` when it cannot be read or would make the message too large.
int attach_file(MailMessage& m, const std::string& path, std::string& error);

}  // namespace orvane
