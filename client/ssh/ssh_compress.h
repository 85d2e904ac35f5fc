// zlib streams of SSH compression: one deflate stream for sending, one inflate stream for
// receiving, each living as long as the session (both ends keep their dictionaries across
// packets and key exchanges), with partial flushes after every packet.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "client/ssh/ssh_buffer.h"

namespace orvane::ssh {

class Deflater {
  public:
    Deflater() = default;
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    // Appends the compressed form of n bytes to `out`. 0 on success; 1 with the cause in `error`.
    int compress(const uint8_t* data, size_t n, SshBuffer& out, std::string& error);

  private:
    z_stream stream_{};
    bool started_ = false;
};

class Inflater {
  public:
    Inflater() = default;
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    // Appends the inflated form of n bytes to `out`, at most `limit` bytes (a larger result is an
    // error, so a small packet cannot expand without end). 0 on success; 1 with the cause.
    int decompress(const uint8_t* data, size_t n, SshBuffer& out, size_t limit, std::string& error);

  private:
    z_stream stream_{};
    bool started_ = false;
};

}  // namespace orvane::ssh
