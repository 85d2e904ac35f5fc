// The SSH byte buffer: wire encodings, the sticky error, the hard limit, wiped storage.
#include "client/ssh/ssh_buffer.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/big_endian.h"

namespace orvane::ssh {

namespace {

constexpr size_t kInitialCapacity = 4096;
constexpr size_t kGrowthSlack = 32768;
constexpr size_t kCompactThreshold = 1u << 20;

void wipe(std::vector<uint8_t>& v) {
    if (!v.empty()) OPENSSL_cleanse(v.data(), v.size());
}

}  // namespace

SshBuffer::SshBuffer(size_t limit) : limit_(limit) {}

SshBuffer::SshBuffer(std::string_view bytes, size_t limit) : limit_(limit) {
    put_bytes(bytes);
}

SshBuffer::~SshBuffer() {
    wipe(storage_);
}

SshBuffer::SshBuffer(SshBuffer&& other) noexcept
    : storage_(std::move(other.storage_)),
      read_(std::exchange(other.read_, 0)),
      end_(std::exchange(other.end_, 0)),
      limit_(other.limit_),
      error_(std::exchange(other.error_, BufferError::kNone)) {}

SshBuffer& SshBuffer::operator=(SshBuffer&& other) noexcept {
    if (this != &other) {
        wipe(storage_);
        storage_ = std::move(other.storage_);
        read_ = std::exchange(other.read_, 0);
        end_ = std::exchange(other.end_, 0);
        limit_ = other.limit_;
        error_ = std::exchange(other.error_, BufferError::kNone);
    }
    return *this;
}

void SshBuffer::fail(BufferError error) {
    if (error_ == BufferError::kNone) error_ = error;
}

// Makes room for n more bytes at the end: an empty buffer starts over at the front; unread
// bytes far from the front move there; otherwise the storage grows (the old copy is wiped).
bool SshBuffer::reserve(size_t n) {
    if (read_ == end_) read_ = end_ = 0;
    if (n > limit_ || end_ - read_ > limit_ - n) {
        fail(BufferError::kTooLarge);
        return false;
    }
    if (end_ + n <= storage_.size()) return true;
    if (read_ > std::min(storage_.size(), kCompactThreshold)) {
        std::memmove(storage_.data(), storage_.data() + read_, end_ - read_);
        end_ -= read_;
        OPENSSL_cleanse(storage_.data() + end_, storage_.size() - end_);
        read_ = 0;
        if (end_ + n <= storage_.size()) return true;
    }
    size_t capacity = storage_.empty() ? std::max(kInitialCapacity, n) : storage_.size() + n + kGrowthSlack;
    std::vector<uint8_t> grown(capacity);
    if (end_ > read_) std::memcpy(grown.data(), storage_.data() + read_, end_ - read_);
    end_ -= read_;
    read_ = 0;
    wipe(storage_);
    storage_ = std::move(grown);
    return true;
}

void SshBuffer::put_bytes(const void* data, size_t n) {
    if (n == 0 || !reserve(n)) return;
    std::memcpy(storage_.data() + end_, data, n);
    end_ += n;
}

void SshBuffer::put_byte(uint8_t value) {
    put_bytes(&value, 1);
}

void SshBuffer::put_u32(uint32_t value) {
    uint8_t b[4];
    store_be32(b, value);
    put_bytes(b, 4);
}

void SshBuffer::put_u64(uint64_t value) {
    uint8_t b[8];
    store_be64(b, value);
    put_bytes(b, 8);
}

void SshBuffer::put_string(std::string_view bytes) {
    if (bytes.size() > UINT32_MAX) {
        fail(BufferError::kTooLarge);
        return;
    }
    put_u32(uint32_t(bytes.size()));
    put_bytes(bytes);
}

void SshBuffer::put_name_list(const std::vector<std::string>& names) {
    std::string joined;
    for (const std::string& name : names) {
        if (!joined.empty()) joined += ',';
        joined += name;
    }
    put_string(joined);
}

void SshBuffer::put_mpint(std::string_view magnitude) {
    size_t skip = 0;
    while (skip < magnitude.size() && magnitude[skip] == '\0') ++skip;
    magnitude.remove_prefix(skip);
    bool pad = !magnitude.empty() && (uint8_t(magnitude[0]) & 0x80) != 0;
    put_u32(uint32_t(magnitude.size() + (pad ? 1 : 0)));
    if (pad) put_byte(0);
    put_bytes(magnitude);
}

bool SshBuffer::take(size_t n) {
    if (error_ != BufferError::kNone) return false;
    if (end_ - read_ < n) {
        fail(BufferError::kShort);
        return false;
    }
    return true;
}

uint8_t SshBuffer::get_byte() {
    if (!take(1)) return 0;
    return storage_[read_++];
}

bool SshBuffer::get_bool() {
    return get_byte() != 0;
}

uint32_t SshBuffer::get_u32() {
    if (!take(4)) return 0;
    uint32_t value = load_be32(storage_.data() + read_);
    read_ += 4;
    return value;
}

uint64_t SshBuffer::get_u64() {
    if (!take(8)) return 0;
    uint64_t value = load_be64(storage_.data() + read_);
    read_ += 8;
    return value;
}

std::string_view SshBuffer::get_bytes(size_t n) {
    if (!take(n)) return {};
    std::string_view bytes(reinterpret_cast<const char*>(storage_.data() + read_), n);
    read_ += n;
    return bytes;
}

std::string_view SshBuffer::get_string(size_t limit) {
    if (!take(4)) return {};
    uint32_t length = load_be32(storage_.data() + read_);
    if (length > limit) {
        fail(BufferError::kMalformed);
        return {};
    }
    if (end_ - read_ - 4 < length) {
        fail(BufferError::kShort);
        return {};
    }
    read_ += 4;
    return get_bytes(length);
}

std::string_view SshBuffer::get_mpint() {
    size_t start = read_;
    std::string_view bytes = get_string(kMaxMpintBytes);
    if (!ok()) return {};
    if (!bytes.empty() && (uint8_t(bytes[0]) & 0x80) != 0) {
        read_ = start;
        fail(BufferError::kMalformed);
        return {};
    }
    while (!bytes.empty() && bytes[0] == '\0') bytes.remove_prefix(1);
    return bytes;
}

void SshBuffer::consume(size_t n) {
    read_ += std::min(n, end_ - read_);
}

void SshBuffer::clear() {
    wipe(storage_);
    read_ = end_ = 0;
    error_ = BufferError::kNone;
}

}  // namespace orvane::ssh
