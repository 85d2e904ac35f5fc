// The fixed-buffer formatter: digits are produced by hand, output goes straight to write(2).
#include "platform/signal_text.h"

#include <errno.h>
#include <unistd.h>

namespace orvane::platform {

void SignalText::put(char c) {
    if (len_ < kCapacity)
        buf_[len_++] = c;
    else
        truncated_ = true;
}

SignalText& SignalText::text(std::string_view s) {
    for (char c : s) put(c);
    return *this;
}

SignalText& SignalText::escaped(std::string_view s) {
    static const char kDigits[] = "0123456789abcdef";
    for (char c : s) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7f) {
            put('\\');
            put('x');
            put(kDigits[b >> 4]);
            put(kDigits[b & 15]);
        } else {
            put(c);
        }
    }
    return *this;
}

SignalText& SignalText::padded(uint64_t v, int width) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (int i = n; i < width; ++i) put('0');
    while (n > 0) put(digits[--n]);
    return *this;
}

SignalText& SignalText::decimal(int64_t v) {
    if (v < 0) {
        put('-');
        return padded(0 - static_cast<uint64_t>(v), 1);
    }
    return padded(static_cast<uint64_t>(v), 1);
}

SignalText& SignalText::hex(uint64_t v, int width) {
    static const char kDigits[] = "0123456789abcdef";
    char digits[16];
    int n = 0;
    do {
        digits[n++] = kDigits[v & 15];
        v >>= 4;
    } while (v != 0);
    for (int i = n; i < width; ++i) put('0');
    while (n > 0) put(digits[--n]);
    return *this;
}

int SignalText::flush(int fd) {
    int r = write_whole(fd, buf_, len_);
    len_ = 0;
    return r;
}

int SignalText::end_line(int fd) {
    if (len_ > kCapacity - 2) {
        len_ = kCapacity - 2;
        truncated_ = true;
    }
    return text("\r\n").flush(fd);
}

int write_whole(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return 1;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

}  // namespace orvane::platform
