// The script reader over a byte source: line ends, the backslash continuation, byte classes.
#include "client/script/script_reader.h"

#include <algorithm>
#include <cstring>

#include "common/local_file.h"

namespace orvane::script {
namespace {

int64_t read_local_file(void* context, void* data, size_t n) {
    return static_cast<LocalFile*>(context)->read(data, n);
}

int64_t read_memory(void* context, void* data, size_t n) {
    auto* text = static_cast<std::string_view*>(context);
    size_t take = std::min(n, text->size());
    std::memcpy(data, text->data(), take);
    text->remove_prefix(take);
    return static_cast<int64_t>(take);
}

}  // namespace

ScriptReader::ScriptReader(ByteSource source) : source_(source), raw_(LocalFile::kBufferSize) {}

ScriptReader::ScriptReader(LocalFile& file) : ScriptReader(ByteSource{read_local_file, &file}) {}

ScriptReader::ScriptReader(std::string_view text) : ScriptReader(ByteSource{read_memory, &memory_}) {
    memory_ = text;
}

bool ScriptReader::peek_raw(unsigned char& byte) {
    if (raw_pos_ == raw_len_) {
        if (source_done_) return false;
        int64_t n = source_.read ? source_.read(source_.context, raw_.data(), raw_.size()) : 0;
        if (n <= 0) {
            if (n < 0) read_failed_ = true;
            source_done_ = true;
            return false;
        }
        raw_pos_ = 0;
        raw_len_ = static_cast<size_t>(n);
    }
    byte = raw_[raw_pos_];
    return true;
}

bool ScriptReader::next_raw(unsigned char& byte) {
    if (!peek_raw(byte)) return false;
    ++raw_pos_;
    return true;
}

// Holds the next line (or the next piece of a long line) in line_. False at the end of the file.
bool ScriptReader::load_line() {
    line_.clear();
    pos_ = 0;
    unsigned char b = 0;
    if (!peek_raw(b)) return false;
    // Script text is bytes, UTF-8 names included; only the mark of a UTF-8 file is no text.
    const bool file_start = line_number_ == 0 && !continues_;
    // The pieces of a cut line are one line: counted once and joined without a line end.
    if (!continues_) ++line_number_;
    continues_ = false;
    while (next_raw(b)) {
        if (b == '\r' || b == '\n') {
            unsigned char pair = 0;
            if (peek_raw(pair) && pair != b && (pair == '\r' || pair == '\n')) ++raw_pos_;
            break;
        }
        line_.push_back(static_cast<char>(b));
        if (line_.size() == kLineCapacity - 1) {
            unsigned char following = 0;
            if (peek_raw(following) && following != '\r' && following != '\n') {
                continues_ = true;
                if (file_start) skip_byte_order_mark();
                return true;
            }
        }
    }
    if (file_start) skip_byte_order_mark();
    // The last line of a file without a line end is ended the same way.
    if (!line_.empty() && line_.back() == '\\') {
        line_.back() = ' ';
    } else {
        line_.push_back('\n');
    }
    return true;
}

void ScriptReader::skip_byte_order_mark() {
    if (line_.compare(0, 3, "\xEF\xBB\xBF") == 0) pos_ = 3;
}

int ScriptReader::peek() {
    if (ended_) return kEnd;
    while (pos_ == line_.size()) {
        if (!load_line()) {
            ended_ = true;
            return kEnd;
        }
    }
    int c = static_cast<unsigned char>(line_[pos_]);
    if (c == kEnd) ended_ = true;
    return c;
}

void ScriptReader::advance() {
    if (peek() != kEnd) ++pos_;
}

}  // namespace orvane::script
