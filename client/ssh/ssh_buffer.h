// The one byte buffer of the SSH code: packets, key blobs, signatures and hash input.
//
// Writers append in the wire encodings of SSH (big-endian integers, length-prefixed strings,
// name-lists, mpints). Readers consume from the front and never read past the end: a failed
// read sets a sticky error, checked once after a run of reads, and later reads yield nothing.
// "Not enough bytes yet" (kShort) is a different answer from "malformed" (kMalformed), so a
// caller reading a stream can wait for more. Every buffer has a hard size limit set where it is
// made; an append beyond it sets kTooLarge and is dropped. Storage is overwritten before it is
// released or moved, because packets carry passwords and key material.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::ssh {

inline constexpr size_t kMaxWireString = 0x40000;  // longest string a reader accepts (262,144)
inline constexpr size_t kMaxMpintBytes = 8192;     // longest mpint a reader accepts
inline constexpr size_t kDefaultBufferLimit = 1u << 20;

enum class BufferError : uint8_t {
    kNone = 0,
    kShort,      // fewer bytes than the read needs (a stream may still deliver them)
    kMalformed,  // a length beyond its limit, a negative mpint, a bad boolean
    kTooLarge,   // an append beyond the buffer's limit
};

class SshBuffer {
  public:
    explicit SshBuffer(size_t limit = kDefaultBufferLimit);
    SshBuffer(std::string_view bytes, size_t limit = kDefaultBufferLimit);
    ~SshBuffer();
    SshBuffer(SshBuffer&& other) noexcept;
    SshBuffer& operator=(SshBuffer&& other) noexcept;
    SshBuffer(const SshBuffer&) = delete;
    SshBuffer& operator=(const SshBuffer&) = delete;

    // Writers.
    void put_bytes(const void* data, size_t n);
    void put_bytes(std::string_view bytes) { put_bytes(bytes.data(), bytes.size()); }
    void put_byte(uint8_t value);
    void put_bool(bool value) { put_byte(value ? 1 : 0); }
    void put_u32(uint32_t value);
    void put_u64(uint64_t value);
    void put_string(std::string_view bytes);
    // A name-list: the names joined with ",", as one string.
    void put_name_list(const std::vector<std::string>& names);
    // An mpint from an unsigned big-endian magnitude (leading zero bytes are dropped; a zero
    // byte is added when the top bit is set; zero is the empty string).
    void put_mpint(std::string_view magnitude);

    // Readers; after a failure every read yields 0 or an empty view.
    uint8_t get_byte();
    bool get_bool();  // any non-zero byte is true
    uint32_t get_u32();
    uint64_t get_u64();
    // A string of at most `limit` bytes; the view stays valid until the buffer is next changed.
    std::string_view get_string(size_t limit = kMaxWireString);
    // n raw bytes.
    std::string_view get_bytes(size_t n);
    // An mpint as its unsigned big-endian magnitude, without a leading zero byte. A negative
    // value or one over kMaxMpintBytes is malformed.
    std::string_view get_mpint();

    BufferError error() const { return error_; }
    bool ok() const { return error_ == BufferError::kNone; }
    // Clears a kShort error after more bytes were appended (the read position is unchanged).
    void clear_error() { error_ = BufferError::kNone; }

    // Unread bytes.
    size_t size() const { return end_ - read_; }
    bool empty() const { return end_ == read_; }
    const uint8_t* data() const { return storage_.data() + read_; }
    // The unread bytes for changing in place (decryption); valid until the buffer next grows.
    uint8_t* mutable_data() { return storage_.data() + read_; }
    std::string_view view() const {
        return {reinterpret_cast<const char*>(storage_.data() + read_), end_ - read_};
    }
    size_t limit() const { return limit_; }
    // Drops n unread bytes from the front (at most size()).
    void consume(size_t n);
    // Drops everything and overwrites the storage.
    void clear();

  private:
    bool reserve(size_t n);
    bool take(size_t n);
    void fail(BufferError error);

    std::vector<uint8_t> storage_;
    size_t read_ = 0;
    size_t end_ = 0;
    size_t limit_;
    BufferError error_ = BufferError::kNone;
};

}  // namespace orvane::ssh
