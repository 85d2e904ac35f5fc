// The line channel: command lines checked and queued as bytes, replies read from bytes.
#include "client/transfer/line/line_channel.h"

#include "common/secret.h"

namespace orvane {

LineChannel::LineChannel(ReplyLimits limits) : reader_(limits) {}

LineChannel::~LineChannel() {
    wipe_output();
}

int LineChannel::send_line(std::string_view line, size_t max_line) {
    if (line.empty() || line.size() > max_line) return 1;
    if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return 1;
    // Grown once: a buffer given up for a larger one would keep a password unwiped.
    out_.reserve(out_.size() + line.size() + 2);
    out_.append(line);
    out_.append("\r\n", 2);
    return 0;
}

void LineChannel::send_raw(std::string_view bytes) {
    out_.append(bytes);
}

std::string LineChannel::take_output() {
    std::string bytes = out_;
    wipe_output();
    out_.shrink_to_fit();  // a large message leaves no buffer behind for the life of the channel
    return bytes;
}

void LineChannel::wipe_output() {
    wipe_secret(out_);
    out_.clear();
}

int LineChannel::receive(std::string_view bytes) {
    received_ += bytes.size();
    return reader_.feed(bytes);
}

void LineChannel::reset() {
    reader_.reset();
    wipe_output();
    received_ = 0;
}

}  // namespace orvane
