// Reading gzip streams through zlib (a file that is not gzip passes through unchanged, as zlib
// reads it), and unpacking a single gzip file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <zlib.h>

namespace orvane {

class GzipInput {
  public:
    GzipInput() = default;
    ~GzipInput();
    GzipInput(const GzipInput&) = delete;
    GzipInput& operator=(const GzipInput&) = delete;

    // 0 on success; 1 with the cause.
    int open(const std::string& path, std::string& cause);
    // Up to `size` bytes (0 at the end); -1 with the cause (zlib's message) on a damaged stream.
    int64_t read(void* data, size_t size, std::string& cause);
    // Closes; 0, or 1 with the cause when zlib reports the stream as damaged or cut short.
    int close(std::string& cause);

  private:
    gzFile file_ = nullptr;
};

// The read size: zlib's own buffer and each read are this large.
inline constexpr size_t kGzipReadSize = 256 * 1024;

class ExtractTarget;

// Unpacks the gzip file `archive` into `target` as the file `relative`. 0 on success; 1 with the
// cause (the output written so far stays).
int gunzip_to(const std::string& archive, ExtractTarget& target, const std::string& relative,
              std::string& cause);

// Extracts the tar archive `archive` (plain or gzip-compressed) into `target`. 0 on success; 1
// with the cause (what was extracted so far stays).
int untar_to(const std::string& archive, ExtractTarget& target, std::string& cause);

}  // namespace orvane
