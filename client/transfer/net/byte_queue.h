// ByteQueue: the chunked byte buffer of every protocol layer, with line-aware append and take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace orvane {

class ByteQueue {
  public:
    static constexpr size_t kChunkSize = 1024;

    // `limit` is the most bytes the queue will ever hold; an append past it is refused whole.
    explicit ByteQueue(size_t limit);
    ~ByteQueue();
    ByteQueue(const ByteQueue&) = default;
    ByteQueue& operator=(const ByteQueue& other);
    ByteQueue(ByteQueue&&) = default;
    ByteQueue& operator=(ByteQueue&& other) noexcept;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t limit() const { return limit_; }
    void set_limit(size_t limit) { limit_ = limit; }
    size_t chunk_count() const { return chunks_.size(); }
    // True once an append was refused for the limit; cleared by clear().
    bool overflowed() const { return overflowed_; }

    // 0 on success, 1 when the bytes would pass the limit (nothing is appended then).
    int append(const void* data, size_t n);
    int append(const std::string& text) { return append(text.data(), text.size()); }
    // Appends text so that every line starts a chunk of its own and a finished line's chunk is
    // marked complete; lines longer than kChunkSize - 1 continue in further chunks.
    int append_lines(const char* text, size_t n);
    int append_lines(const std::string& text) { return append_lines(text.data(), text.size()); }

    // Copies and removes up to n bytes from the front; returns how many.
    size_t take(void* destination, size_t n);
    // Copies up to n bytes from the front without removing them; returns how many.
    size_t peek(void* destination, size_t n) const;
    // Removes up to n bytes from the front; 1 when fewer than n were held, else 0.
    int drop(size_t n);

    // Takes the first line: at most capacity - 1 characters are copied and removed, with the line
    // end (CR LF, CR or LF) when it follows them. *complete is 1 when a line end was found.
    // Returns the line's length, or -1 when the queue is empty or capacity is 0.
    int take_line(std::string& line, size_t capacity, int* complete);
    // Copies the last line (over one trailing line end) without removing anything; at most
    // capacity - 1 characters from the line's start. *complete is 1 when the queue ends in a
    // line feed. Returns the length, or -1 when the queue is empty or capacity is 0.
    int last_line(std::string& line, size_t capacity, int* complete) const;

    // Replaces this queue's contents with a copy of the source's (the limit stays this queue's;
    // 1 when the source holds more than it).
    int copy_from(const ByteQueue& source);
    void clear();
    // Everything held, as one string (for parsers that want contiguous text).
    std::string contents() const;

  private:
    struct Chunk {
        uint8_t data[kChunkSize];
        uint16_t begin = 0;  // bytes already taken from the front
        uint16_t end = 0;
        bool line_complete = false;
        size_t length() const { return end - begin; }
    };
    uint8_t byte_at(size_t index) const;  // index from the front; index < size_
    // What passed through a queue may have been a password line: chunks are wiped before they go.
    void wipe_chunks();

    std::deque<Chunk> chunks_;
    size_t size_ = 0;
    size_t limit_;
    bool overflowed_ = false;
};

}  // namespace orvane
