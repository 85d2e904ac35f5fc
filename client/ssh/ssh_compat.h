// Peer compatibility flags: chosen from the server's software version by the version exchange;
// only these bits change behaviour.
#pragma once

#include <cstdint>
#include <string_view>

namespace orvane::ssh {

enum CompatFlags : uint32_t {
    kRawDssSignature = 0x1,           // ssh-dss signatures are the bare 40 bytes r||s
    kUserauthServiceSigned = 0x2,     // publickey signature data names "ssh-userauth"
    kShortMacKey = 0x4,               // MAC keys are 16 bytes whatever the digest
    kRawSessionId = 0x10,             // session id enters publickey signature data unprefixed
    kShortPublickeyRequest = 0x20,    // publickey request without method and algorithm names
    kNoAesCiphers = 0x1000,           // ciphers named "aes*" are left out of the proposal
    kRsaSignatureMd5 = 0x2000,        // ssh-rsa signatures use MD5 instead of SHA-1
    kOldGroupExchange = 0x4000,       // group exchange sends the old request (preferred size only)
    kNoPacketLimit = 0x8000,          // a wrapping receive-packet counter is not an error
    kKeysWithoutSecret = 0x40000,     // key derivation leaves the shared secret out of the hash
    kIgnoreFirstKexGuess = 0x800000,  // the server's first_kex_packet_follows guess is never skipped
};

// The peer compatibility table: the flags of the first row whose pattern list matches the
// server's software version (0 when none does).
uint32_t compat_flags_for(std::string_view software_version);

// A comma-separated list of patterns ("*" any run, "?" one character, whole-text, case-sensitive;
// a leading "!" negates: its match fails the whole list). A pattern over 1022 characters fails it.
bool match_pattern_list(std::string_view list, std::string_view text);

}  // namespace orvane::ssh
