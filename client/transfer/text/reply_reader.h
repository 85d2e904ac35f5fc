// The reply reader shared by the FTP control channel and SMTP: bytes in, complete numbered replies out.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "common/limits.h"

namespace orvane {

struct ServerReply {
    int code = 0;                    // the three digits of the final line
    std::vector<std::string> lines;  // every line of the reply, without line ends, in order
};

// How far a hostile or broken server may push the reader before it gives up.
struct ReplyLimits {
    size_t line_chars = kLineCapacity;  // characters kept of each line; the rest of a longer line is dropped
    size_t max_lines = 1000;            // lines in one reply
    size_t max_bytes = 65536;           // bytes received and not yet taken as replies
};

enum class ReplyError : int {
    kNone = 0,
    kNulByte = 1,       // a NUL byte: not text, never passed on
    kTooManyLines = 2,  // a reply with more lines than allowed
    kTooLarge = 3,      // more bytes buffered than allowed
    kTruncated = 4,     // the connection ended inside a reply
};
inline constexpr std::array<const char*, 5> kReplyErrorNames = {
    "none", "NUL byte in reply", "too many reply lines", "reply too large", "reply truncated"};
static_assert(kReplyErrorNames.size() == static_cast<size_t>(ReplyError::kTruncated) + 1);
inline const char* reply_error_name(ReplyError e) {
    return kReplyErrorNames[static_cast<size_t>(e)];
}

// The code of a final reply line ("ddd " and any text), or -1 when the line does not end a reply.
int final_line_code(std::string_view line);

// The two success checks of a reply's code (FTP and SMTP alike): a positive completion, or at
// least not a refusal (an intermediate 3xx goes on).
inline bool reply_positive(int code) {
    return code >= 1 && code <= 299;
}
inline bool reply_not_refused(int code) {
    return code >= 1 && code <= 399;
}

// Reads replies from bytes that arrive split anywhere. A line ends with LF (a CR before it is
// dropped). A reply ends with its first line that starts with three digits and a space; every line
// before it ("ddd-" or any other text) belongs to it. Errors are sticky: once one is seen the reader
// takes no more bytes until reset().
class ReplyReader {
  public:
    explicit ReplyReader(ReplyLimits limits = {});

    // Takes received bytes. 0 when taken, otherwise the (sticky) error number.
    int feed(std::string_view bytes);
    // 1 when a complete reply was moved into `out`, 0 when more bytes are needed, -1 after an error.
    int take(ServerReply& out);
    // The connection has ended: bytes of an unfinished reply make a truncated reply. 0 or the error.
    int finish();
    // True when bytes beyond the replies already taken have arrived (complete replies not yet
    // taken, or part of one). A TLS go-ahead must be the last thing the server sent in plain text.
    bool pending() const { return buffered_ > 0; }
    ReplyError error() const { return error_; }
    void reset();

  private:
    int fail(ReplyError e);
    void end_line();

    ReplyLimits limits_;
    std::deque<ServerReply> ready_;
    std::deque<size_t> ready_bytes_;  // bytes each ready reply took on the wire
    ServerReply current_;
    size_t current_bytes_ = 0;
    std::string line_;       // the current line, cut at the line limit
    size_t line_bytes_ = 0;  // bytes of the current line received, including those dropped, no LF
    size_t buffered_ = 0;    // bytes received and not yet taken
    ReplyError error_ = ReplyError::kNone;
};

}  // namespace orvane
