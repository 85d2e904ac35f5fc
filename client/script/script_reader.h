// The script reader: yields a script's characters one by one, line by line, with the line number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {
class LocalFile;
}

namespace orvane::script {

// Where the reader's bytes come from: bytes read into `data` (0 at the end), -1 on failure.
struct ByteSource {
    int64_t (*read)(void* context, void* data, size_t n) = nullptr;
    void* context = nullptr;
};

// Line ends (CR, LF, CR LF, LF CR) become one LF, or nothing after a closing backslash (which
// becomes a blank, so the statement continues on the next line). Bytes 128-255 are kept (a UTF-8
// byte order mark opening the file is passed over); the byte 127 anywhere ends the file, and so does a failed
// read.
class ScriptReader {
  public:
    static constexpr int kEnd = 127;
    static constexpr size_t kLineCapacity = 8192;  // bytes held of a line at a time

    explicit ScriptReader(ByteSource source);
    // Reads an open local file.
    explicit ScriptReader(LocalFile& file);
    // Reads text held in memory; the text must outlive the reader.
    explicit ScriptReader(std::string_view text);
    ScriptReader(const ScriptReader&) = delete;
    ScriptReader& operator=(const ScriptReader&) = delete;

    // The look-ahead character (0..255); kEnd from the end of the file on.
    int peek();
    // Moves past the look-ahead character.
    void advance();
    // The line the reader has reached, counted from 1 (0 before the first line).
    int line() const { return line_number_; }
    // True when the source failed to read (the reader then acted as at the end of the file).
    bool read_failed() const { return read_failed_; }

  private:
    bool next_raw(unsigned char& byte);
    bool peek_raw(unsigned char& byte);
    bool load_line();
    // A UTF-8 byte order mark at the start of the file is passed over.
    void skip_byte_order_mark();

    ByteSource source_;
    std::string_view memory_;  // for the in-memory source
    std::vector<unsigned char> raw_;
    size_t raw_pos_ = 0;
    size_t raw_len_ = 0;
    bool source_done_ = false;
    bool read_failed_ = false;

    std::string line_;
    size_t pos_ = 0;
    int line_number_ = 0;
    bool continues_ = false;  // the held piece was cut from a longer line
    bool ended_ = false;
};

}  // namespace orvane::script
