// LocalFile: the buffered record through which the client reads and writes every local file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/limits.h"
#include "platform/file.h"

namespace orvane {

class LocalFile;
// Run after every write when the rollover limit is not 0 (the log file's size check).
using RolloverCheck = void (*)(void* context, LocalFile& file);

class LocalFile {
  public:
    static constexpr size_t kBufferSize = 8192;

    LocalFile();
    explicit LocalFile(const std::string& path);
    ~LocalFile();
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;

    // Closes any open handle first; the path is cut at its capacity.
    void set_path(const std::string& path);
    const std::string& path() const { return path_; }

    // Mode 1 read, 2 write (replace), 3 append (created when missing; the first write goes to the
    // end). 0 on success, -1 on failure or an empty path.
    int open(int mode);
    // The mode of the last successful open (0 before any).
    int mode() const { return mode_; }
    void close();
    bool is_open() const { return handle_ != platform::kInvalidFile; }

    // Raw read: bytes read (0 at the end), -1 on failure.
    int64_t read(void* data, size_t n);
    // Write: bytes written, -1 when closed, given no data, or on failure.
    int64_t write(const void* data, size_t n);
    int64_t write(const std::string& text) { return write(text.data(), text.size()); }
    // Writes the text and CR LF unless it already ends with CR or LF. 0 on success.
    int write_line(const std::string& text);

    // 0 on success. The line reader's buffer is dropped.
    int seek(int64_t offset, int whence = 0);
    int64_t position() const;
    int64_t size() const;
    int64_t bytes_remaining() const;
    uint64_t last_write_time() const;
    int set_last_write_time(uint64_t filetime);

    // Reads the next line into `line`: at most capacity - 1 characters. Returns the characters
    // taken from the file (the line and its line end, so an empty line gives 1 or 2), capacity - 1
    // when a long line was cut (the rest comes with the next read), 0 at the end of the file,
    // -1 for a capacity of 0.
    int read_line(std::string& line, size_t capacity);
    void clear_read_buffer() { buffered_ = 0; }

    // Log-file rollover: limit 0 means none.
    void set_rollover(uint32_t limit, RolloverCheck check, void* context);
    uint32_t rollover_limit() const { return rollover_limit_; }
    void set_rollover_limit(uint32_t limit) { rollover_limit_ = limit; }
    uint32_t size_written() const { return size_written_; }
    void set_size_written(uint32_t n) { size_written_ = n; }

  private:
    size_t fill(size_t limit = kBufferSize);  // appends file bytes; returns how many arrived

    std::string path_;
    std::vector<char> buffer_;
    size_t buffered_ = 0;
    platform::FileHandle handle_ = platform::kInvalidFile;
    bool append_pending_ = false;
    int mode_ = 0;
    uint32_t rollover_limit_ = 0;
    uint32_t size_written_ = 0;
    RolloverCheck rollover_check_ = nullptr;
    void* rollover_context_ = nullptr;
};

}  // namespace orvane
