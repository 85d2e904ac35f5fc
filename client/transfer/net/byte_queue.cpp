// ByteQueue: the chunked byte buffer of every protocol layer, with line-aware append and take.
#include "client/transfer/net/byte_queue.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/secret.h"

namespace orvane {

ByteQueue::ByteQueue(size_t limit) : limit_(limit) {}

ByteQueue::~ByteQueue() {
    wipe_chunks();
}

ByteQueue& ByteQueue::operator=(const ByteQueue& other) {
    if (this != &other) {
        wipe_chunks();
        chunks_ = other.chunks_;
        size_ = other.size_;
        limit_ = other.limit_;
        overflowed_ = other.overflowed_;
    }
    return *this;
}

ByteQueue& ByteQueue::operator=(ByteQueue&& other) noexcept {
    if (this != &other) {
        wipe_chunks();
        chunks_ = std::move(other.chunks_);
        size_ = other.size_;
        limit_ = other.limit_;
        overflowed_ = other.overflowed_;
        other.chunks_.clear();
        other.size_ = 0;
    }
    return *this;
}

void ByteQueue::wipe_chunks() {
    for (Chunk& c : chunks_) wipe_bytes(c.data, c.end);
}

int ByteQueue::append(const void* data, size_t n) {
    if (n > limit_ - std::min(size_, limit_)) {
        overflowed_ = true;
        return 1;
    }
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        if (chunks_.empty() || chunks_.back().end == kChunkSize) chunks_.emplace_back();
        Chunk& c = chunks_.back();
        size_t k = std::min(n, kChunkSize - c.end);
        std::memcpy(c.data + c.end, p, k);
        c.end = static_cast<uint16_t>(c.end + k);
        p += k;
        n -= k;
        size_ += k;
    }
    return 0;
}

int ByteQueue::append_lines(const char* text, size_t n) {
    if (n > limit_ - std::min(size_, limit_)) {
        overflowed_ = true;
        return 1;
    }
    for (size_t i = 0; i < n; ++i) {
        // A text chunk keeps one byte free so that its line stays NUL-terminable.
        if (chunks_.empty() || chunks_.back().line_complete || chunks_.back().end >= kChunkSize - 1) {
            chunks_.emplace_back();
        }
        Chunk& c = chunks_.back();
        char ch = text[i];
        c.data[c.end++] = static_cast<uint8_t>(ch);
        ++size_;
        // CR LF is one line end: the CR only ends the line when no LF follows it here.
        if (ch == '\n' || (ch == '\r' && (i + 1 >= n || text[i + 1] != '\n'))) c.line_complete = true;
    }
    return 0;
}

size_t ByteQueue::take(void* destination, size_t n) {
    uint8_t* out = static_cast<uint8_t*>(destination);
    size_t taken = 0;
    while (taken < n && !chunks_.empty()) {
        Chunk& c = chunks_.front();
        size_t k = std::min(n - taken, c.length());
        if (out) std::memcpy(out + taken, c.data + c.begin, k);
        c.begin = static_cast<uint16_t>(c.begin + k);
        taken += k;
        size_ -= k;
        if (c.length() == 0) {
            wipe_bytes(c.data, c.end);
            chunks_.pop_front();
        }
    }
    return taken;
}

size_t ByteQueue::peek(void* destination, size_t n) const {
    uint8_t* out = static_cast<uint8_t*>(destination);
    size_t copied = 0;
    for (const Chunk& c : chunks_) {
        if (copied >= n) break;
        size_t k = std::min(n - copied, c.length());
        std::memcpy(out + copied, c.data + c.begin, k);
        copied += k;
    }
    return copied;
}

int ByteQueue::drop(size_t n) {
    size_t removed = take(nullptr, n);
    return removed < n ? 1 : 0;
}

uint8_t ByteQueue::byte_at(size_t index) const {
    for (const Chunk& c : chunks_) {
        if (index < c.length()) return c.data[c.begin + index];
        index -= c.length();
    }
    return 0;
}

int ByteQueue::take_line(std::string& line, size_t capacity, int* complete) {
    if (complete) *complete = 0;
    line.clear();
    if (size_ == 0 || capacity == 0) return -1;
    // Walk the front chunks without copying more than the line needs.
    size_t length = 0;
    bool found = false;
    for (const Chunk& c : chunks_) {
        const uint8_t* p = c.data + c.begin;
        size_t k = c.length();
        size_t j = 0;
        for (; j < k && length < capacity - 1; ++j) {
            if (p[j] == '\r' || p[j] == '\n') {
                found = true;
                break;
            }
            line.push_back(static_cast<char>(p[j]));
            ++length;
        }
        if (found || length >= capacity - 1) break;
    }
    take(nullptr, length);
    if (!found && size_ > 0 && (byte_at(0) == '\r' || byte_at(0) == '\n')) found = true;
    if (found) {
        uint8_t first = byte_at(0);
        take(nullptr, 1);
        if (first == '\r' && size_ > 0 && byte_at(0) == '\n') take(nullptr, 1);
        if (complete) *complete = 1;
    }
    return static_cast<int>(length);
}

int ByteQueue::last_line(std::string& line, size_t capacity, int* complete) const {
    if (complete) *complete = 0;
    line.clear();
    if (size_ == 0 || capacity == 0) return -1;
    size_t end = size_;  // one past the line's last character
    if (byte_at(end - 1) == '\n') {
        if (complete) *complete = 1;
        --end;
        if (end > 0 && byte_at(end - 1) == '\r') --end;
    } else if (byte_at(end - 1) == '\r') {
        --end;
    }
    size_t start = end;
    while (start > 0) {
        uint8_t b = byte_at(start - 1);
        if (b == '\r' || b == '\n') break;
        --start;
    }
    size_t length = std::min(end - start, capacity - 1);
    line.reserve(length);
    // Copy forward from the line's start, chunk by chunk.
    size_t index = 0;
    for (const Chunk& c : chunks_) {
        size_t k = c.length();
        size_t from = start > index ? start - index : 0;
        for (size_t j = from; j < k && line.size() < length; ++j)
            line.push_back(static_cast<char>(c.data[c.begin + j]));
        index += k;
        if (line.size() >= length) break;
    }
    return static_cast<int>(length);
}

int ByteQueue::copy_from(const ByteQueue& source) {
    if (this == &source) return 0;
    if (source.size_ > limit_) {
        overflowed_ = true;
        return 1;
    }
    wipe_chunks();
    chunks_ = source.chunks_;
    size_ = source.size_;
    return 0;
}

void ByteQueue::clear() {
    wipe_chunks();
    chunks_.clear();
    size_ = 0;
    overflowed_ = false;
}

std::string ByteQueue::contents() const {
    std::string s;
    s.reserve(size_);
    for (const Chunk& c : chunks_) s.append(reinterpret_cast<const char*>(c.data + c.begin), c.length());
    return s;
}

}  // namespace orvane
