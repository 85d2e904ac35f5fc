// Text built in a fixed buffer with nothing but plain stores: usable inside a signal handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvane::platform {

// A line or block of report text. Appends past the capacity are dropped (and remembered in
// `truncated`); nothing allocates, locks or touches the C library's formatting.
class SignalText {
  public:
    static constexpr size_t kCapacity = 1024;

    SignalText& text(std::string_view s);
    // Bytes below 0x20 and 0x7f become "\xNN": names from the file system reach a log as text.
    SignalText& escaped(std::string_view s);
    SignalText& decimal(int64_t v);
    // Lowercase hexadecimal, zero-padded to at least `width` digits ("%0*lx").
    SignalText& hex(uint64_t v, int width);
    // Decimal zero-padded to at least `width` digits ("%0*d").
    SignalText& padded(uint64_t v, int width);

    std::string_view view() const { return {buf_, len_}; }
    size_t size() const { return len_; }
    bool truncated() const { return truncated_; }
    void clear() { len_ = 0; }
    // Writes the text to `fd` (whole, over short writes and EINTR) and empties it. 0 on success.
    int flush(int fd);
    // Ends the line with CR LF (the report's line end; a line cut at the capacity keeps it) and
    // flushes it to `fd`.
    int end_line(int fd);

  private:
    void put(char c);
    char buf_[kCapacity];
    size_t len_ = 0;
    bool truncated_ = false;
};

// Writes all n bytes to fd with write(2), retrying short writes and EINTR. 0 on success.
int write_whole(int fd, const void* data, size_t n);

}  // namespace orvane::platform
