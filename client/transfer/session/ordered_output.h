// Messages of work done side by side, printed in the order the work was handed out.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "client/transfer/net/filter.h"

namespace orvane {

// Parts are numbered in the order they are opened. The messages of the first part still open go
// out at once; those of a later part wait until every part before it is closed. Any thread may
// write (a connection logs from its event thread); parts are opened and closed on one thread.
class OrderedOutput {
  public:
    OrderedOutput(LogCallback sink, void* sink_user) : sink_(sink), sink_user_(sink_user) {}
    OrderedOutput(const OrderedOutput&) = delete;
    OrderedOutput& operator=(const OrderedOutput&) = delete;
    ~OrderedOutput() { close_all(); }

    size_t open_part();
    void write(size_t part, const char* text, int level, int line_end);
    void close(size_t part);
    // Everything still held goes out, in part order (the end of the work, or its abandonment).
    void close_all();

  private:
    struct Line {
        std::string text;
        int level;
        int line_end;
    };
    struct Part {
        std::vector<Line> lines;
        bool closed = false;
    };
    void emit(const char* text, int level, int line_end);
    void drain_front();

    std::mutex lock_;
    LogCallback sink_;
    void* sink_user_;
    std::deque<Part> parts_;
    size_t first_ = 0;  // the number of parts_.front()
    size_t next_ = 0;   // the number the next part gets
};

// A session's log into one part of an OrderedOutput: the session's log callback is ordered_log and
// its log user this. The part moves as the session takes up other work; muted drops what comes.
struct OrderedWriter {
    OrderedOutput* output = nullptr;
    std::atomic<size_t> part{0};
    std::atomic<bool> muted{false};
};
void ordered_log(void* writer, const char* text, int level, int line_end);

}  // namespace orvane
