// Ordered output: parts held back until the parts before them are complete.
#include "client/transfer/session/ordered_output.h"

#include "common/log.h"

namespace orvane {

size_t OrderedOutput::open_part() {
    std::lock_guard<std::mutex> hold(lock_);
    parts_.emplace_back();
    return next_++;
}

void OrderedOutput::emit(const char* text, int level, int line_end) {
    output_to(sink_, sink_user_, text, level, line_end);
}

void OrderedOutput::write(size_t part, const char* text, int level, int line_end) {
    std::lock_guard<std::mutex> hold(lock_);
    // The front part is live; a late word of a part already out (a connection closing) goes too.
    if (part <= first_ || part >= next_) {
        emit(text, level, line_end);
        return;
    }
    parts_[part - first_].lines.push_back(Line{text, level, line_end});
}

// Closed parts at the front go, and the next part's held lines with them: it is live from now.
void OrderedOutput::drain_front() {
    while (!parts_.empty()) {
        Part& front = parts_.front();
        for (const Line& line : front.lines) emit(line.text.c_str(), line.level, line.line_end);
        front.lines.clear();
        if (!front.closed) return;
        parts_.pop_front();
        ++first_;
    }
}

void OrderedOutput::close(size_t part) {
    std::lock_guard<std::mutex> hold(lock_);
    if (part < first_ || part >= next_) return;
    parts_[part - first_].closed = true;
    drain_front();
}

void OrderedOutput::close_all() {
    std::lock_guard<std::mutex> hold(lock_);
    for (Part& p : parts_) p.closed = true;
    drain_front();
}

void ordered_log(void* writer, const char* text, int level, int line_end) {
    auto* w = static_cast<OrderedWriter*>(writer);
    if (w->muted.load()) return;
    w->output->write(w->part.load(), text, level, line_end);
}

}  // namespace orvane
