// LocalFile: open modes, raw I/O, and the line reader that accepts CR, LF, CR LF and LF CR.
#include "common/local_file.h"

#include <cstring>

#include "common/text.h"

namespace orvane {

LocalFile::LocalFile() : buffer_(kBufferSize + 1) {}

LocalFile::LocalFile(const std::string& path) : LocalFile() {
    set_path(path);
}

LocalFile::~LocalFile() {
    close();
}

void LocalFile::set_path(const std::string& path) {
    close();
    path_ = cut(path, kWideTextCapacity);
}

int LocalFile::open(int mode) {
    close();
    if (path_.empty()) return -1;
    handle_ = platform::file_open(path_, mode);
    if (handle_ == platform::kInvalidFile) return -1;
    int base = mode & ~platform::kOpenRegularOnly;
    append_pending_ = base == platform::kOpenAppend || base == platform::kOpenAppendAlways;
    mode_ = mode;
    buffered_ = 0;
    return 0;
}

void LocalFile::close() {
    if (handle_ != platform::kInvalidFile) platform::file_close(handle_);
    handle_ = platform::kInvalidFile;
    buffered_ = 0;
}

int64_t LocalFile::read(void* data, size_t n) {
    if (data == nullptr) return -1;
    return platform::file_read(handle_, data, n);
}

int64_t LocalFile::write(const void* data, size_t n) {
    if (!is_open() || data == nullptr) return -1;
    if (append_pending_) {
        platform::file_seek(handle_, 0, 2);
        append_pending_ = false;
    }
    int64_t w = platform::file_write(handle_, data, n);
    if (w < 0) return -1;
    if (rollover_limit_ != 0) {
        size_written_ += static_cast<uint32_t>(w);
        if (rollover_check_) rollover_check_(rollover_context_, *this);
    }
    return w;
}

int LocalFile::write_line(const std::string& text) {
    if (!text.empty() && write(text) < 0) return -1;
    if (!text.empty() && (text.back() == '\r' || text.back() == '\n')) return 0;
    return write("\r\n", 2) < 0 ? -1 : 0;
}

int LocalFile::seek(int64_t offset, int whence) {
    buffered_ = 0;
    return platform::file_seek(handle_, offset, whence) < 0 ? -1 : 0;
}

int64_t LocalFile::position() const {
    return platform::file_seek(handle_, 0, 1);
}

int64_t LocalFile::size() const {
    return platform::file_size(handle_);
}

int64_t LocalFile::bytes_remaining() const {
    int64_t s = size(), p = position();
    if (s < 0 || p < 0) return -1;
    return s > p ? s - p : 0;
}

uint64_t LocalFile::last_write_time() const {
    return platform::file_last_write_time(handle_);
}

int LocalFile::set_last_write_time(uint64_t filetime) {
    return platform::file_set_last_write_time(handle_, filetime);
}

void LocalFile::set_rollover(uint32_t limit, RolloverCheck check, void* context) {
    rollover_limit_ = limit;
    rollover_check_ = check;
    rollover_context_ = context;
}

size_t LocalFile::fill(size_t limit) {
    if (!is_open() || buffered_ >= limit) return 0;
    int64_t r = platform::file_read(handle_, buffer_.data() + buffered_, limit - buffered_);
    if (r <= 0) return 0;
    buffered_ += static_cast<size_t>(r);
    return static_cast<size_t>(r);
}

static size_t find_line_end(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] == '\r' || p[i] == '\n') return i;
    return n;
}

int LocalFile::read_line(std::string& line, size_t capacity) {
    line.clear();
    if (capacity == 0) return -1;
    char* buf = buffer_.data();
    size_t i = find_line_end(buf, buffered_);
    if (i == buffered_) {
        fill();
        i = find_line_end(buf, buffered_);
    }
    auto take = [&](size_t count, size_t drop) {
        line.assign(buf, count);
        std::memmove(buf, buf + drop, buffered_ - drop);
        buffered_ -= drop;
    };
    if (i < buffered_) {
        // A CR LF pair split across two reads is one line end: the record's spare byte takes
        // the second half when the buffer is full.
        if (i + 1 == buffered_) fill(kBufferSize + 1);
        size_t end_len = 1;
        if (i + 1 < buffered_) {
            char a = buf[i], b = buf[i + 1];
            if ((a == '\r' && b == '\n') || (a == '\n' && b == '\r')) end_len = 2;
        }
        if (i < capacity) {
            take(i, i + end_len);
            return static_cast<int>(i + end_len);
        }
        take(capacity - 1, capacity - 1);
        return static_cast<int>(capacity - 1);
    }
    if (buffered_ < capacity) {
        size_t n = buffered_;
        take(n, n);
        return static_cast<int>(n);
    }
    take(capacity - 1, capacity - 1);
    return static_cast<int>(capacity - 1);
}

}  // namespace orvane
