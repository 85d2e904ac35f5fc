// Big-endian loads and stores of 32- and 64-bit integers, the byte order of SSH and SFTP.
#pragma once

#include <cstdint>

namespace orvane {

// `p` points at four (eight) readable bytes; the caller has checked the length.
inline uint32_t load_be32(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | uint32_t{b[3]};
}

inline uint64_t load_be64(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return uint64_t{load_be32(b)} << 32 | load_be32(b + 4);
}

inline void store_be32(void* p, uint32_t v) {
    auto* b = static_cast<uint8_t*>(p);
    b[0] = static_cast<uint8_t>(v >> 24);
    b[1] = static_cast<uint8_t>(v >> 16);
    b[2] = static_cast<uint8_t>(v >> 8);
    b[3] = static_cast<uint8_t>(v);
}

inline void store_be64(void* p, uint64_t v) {
    auto* b = static_cast<uint8_t*>(p);
    store_be32(b, static_cast<uint32_t>(v >> 32));
    store_be32(b + 4, static_cast<uint32_t>(v));
}

}  // namespace orvane
