// Reply reading: line splitting with a per-line cut, the end-of-reply rule, caps and sticky errors.
#include "client/transfer/text/reply_reader.h"

#include "common/text.h"

namespace orvane {

int final_line_code(std::string_view line) {
    uint64_t code = 0;
    if (line.size() < 4 || line[3] != ' ' || !parse_decimal(line.substr(0, 3), code)) return -1;
    return static_cast<int>(code);
}

ReplyReader::ReplyReader(ReplyLimits limits) : limits_(limits) {}

void ReplyReader::reset() {
    ready_.clear();
    ready_bytes_.clear();
    current_ = ServerReply();
    current_bytes_ = 0;
    line_.clear();
    line_bytes_ = 0;
    buffered_ = 0;
    error_ = ReplyError::kNone;
}

int ReplyReader::fail(ReplyError e) {
    reset();
    error_ = e;  // sticks until the next reset
    return static_cast<int>(e);
}

void ReplyReader::end_line() {
    // A CR just before the LF belongs to the line end, unless the line was cut before it.
    if (!line_.empty() && line_.back() == '\r' && line_bytes_ == line_.size()) line_.pop_back();
    if (line_.size() > limits_.line_chars) line_.resize(limits_.line_chars);
    int code = final_line_code(line_);
    current_.lines.push_back(std::move(line_));
    line_.clear();
    line_bytes_ = 0;
    if (code >= 0) {
        current_.code = code;
        ready_.push_back(std::move(current_));
        ready_bytes_.push_back(current_bytes_);
        current_ = ServerReply();
        current_bytes_ = 0;
    } else if (current_.lines.size() >= limits_.max_lines) {
        fail(ReplyError::kTooManyLines);
    }
}

int ReplyReader::feed(std::string_view bytes) {
    if (error_ != ReplyError::kNone) return static_cast<int>(error_);
    for (char c : bytes) {
        if (c == '\0') return fail(ReplyError::kNulByte);
        if (++buffered_ > limits_.max_bytes) return fail(ReplyError::kTooLarge);
        ++current_bytes_;
        if (c == '\n') {
            end_line();
            if (error_ != ReplyError::kNone) return static_cast<int>(error_);
            continue;
        }
        // One character beyond the cut is kept so that a CR ending a full-length line is seen.
        if (line_.size() <= limits_.line_chars) line_.push_back(c);
        ++line_bytes_;
    }
    return 0;
}

int ReplyReader::take(ServerReply& out) {
    if (error_ != ReplyError::kNone) return -1;
    if (ready_.empty()) return 0;
    out = std::move(ready_.front());
    ready_.pop_front();
    buffered_ -= ready_bytes_.front();
    ready_bytes_.pop_front();
    return 1;
}

int ReplyReader::finish() {
    if (error_ != ReplyError::kNone) return static_cast<int>(error_);
    if (!current_.lines.empty() || line_bytes_ > 0) return fail(ReplyError::kTruncated);
    return 0;
}

}  // namespace orvane
