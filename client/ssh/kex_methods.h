// The key-exchange methods behind the transport's seam (ssh_kex.h): finite-field Diffie-Hellman
// with fixed groups and with group exchange, X25519 and ECDH over NIST P-256. Each run checks
// the server's host key (type, known hosts, signature over the exchange hash).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "client/ssh/ssh_kex.h"

namespace orvane::ssh {

// The methods in the order the client proposes them: the designed three, then the later ones.
inline constexpr std::string_view kKexMethodNames =
    "diffie-hellman-group-exchange-sha1,diffie-hellman-group14-sha1,diffie-hellman-group1-sha1,"
    "curve25519-sha256,curve25519-sha256@libssh.org,diffie-hellman-group14-sha256,"
    "diffie-hellman-group16-sha512,diffie-hellman-group-exchange-sha256,ecdh-sha2-nistp256";
// Host-key algorithms the runs verify, in the order the client proposes them.
inline constexpr std::string_view kHostKeyAlgorithmNames =
    "ssh-rsa,ssh-dss,rsa-sha2-512,rsa-sha2-256,ssh-ed25519,ecdsa-sha2-nistp256";

// Bounds of the group-exchange request (bits).
inline constexpr uint32_t kGroupExchangeMin = 1024;
inline constexpr uint32_t kGroupExchangeMax = 8192;
// The preferred group size for a key length `need` (bytes): up to 128 bits 1024, up to 192
// bits 2048, else 4096.
uint32_t group_exchange_size(size_t need);

// A run for a method name; null for a name this client does not implement.
std::unique_ptr<KexRun> make_ssh_kex_run(std::string_view kex_name);

}  // namespace orvane::ssh
