// The OpenSSL TLS channel: the network core's TLS filter, one SSL object in client mode between
// two memory buffers.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>

#include "client/transfer/net/filter.h"

namespace orvane {

// Ciphertext from the socket that the channel holds at most; beyond it put_network() takes no more
// until the plaintext has been read.
constexpr size_t kTlsNetworkInputLimit = 1 << 20;
// Ciphertext waiting for the socket above which plaintext stays pending instead of being
// encrypted, so a fast sender cannot pile an entire file into memory.
constexpr size_t kTlsNetworkOutputHighWater = 64 * 1024;
// Plaintext the channel holds while TLS cannot take it (before the handshake, or while the
// ciphertext waits above the high-water mark).
constexpr size_t kTlsPendingCapacity = 16384;

// A channel in client (connect) state on the configuration's context; null on failure.
ByteFilter* tls_create_channel(const FilterConfig& config);

// The channel's SSL object, for inspection; null when the filter is not a TLS channel.
SSL* tls_channel_ssl(const ByteFilter& channel);
// True when the completed handshake resumed an earlier session.
bool tls_channel_session_reused(const ByteFilter& channel);

// Reports a completed handshake at info level: protocol version and cipher, then the server
// certificate's subject and SHA-256 fingerprint.
void tls_log_handshake(SSL* ssl, LogCallback log, void* log_user);

// The context's certificate check: asks the channel's policy (or checks the chain against the
// context's store for the host's name when it has none). 1 accepts the server.
int tls_verify_server(X509_STORE_CTX* chain, void* unused);

// The context's new-session callback: keeps the newest session on the channel that negotiated it.
int tls_channel_capture_session(SSL* ssl, SSL_SESSION* session);

}  // namespace orvane
