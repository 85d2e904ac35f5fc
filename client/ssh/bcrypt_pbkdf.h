// bcrypt_pbkdf, the key derivation of OpenSSH's own private-key format: PBKDF2-like rounds over
// a Blowfish-based hash of SHA-512 digests, with the output spread across the blocks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvane::ssh {

// The most rounds a key file may ask for: a damaged or hostile file cannot stall the caller.
inline constexpr uint32_t kMaxBcryptRounds = 16384;

// Fills `key` with `length` bytes (at most 1024) derived from the pass phrase and salt.
// 0 on success; 1 for zero rounds, an empty salt or a length out of range.
int bcrypt_pbkdf(std::string_view pass, std::string_view salt, uint32_t rounds, size_t length,
                 std::string& key);

}  // namespace orvane::ssh
