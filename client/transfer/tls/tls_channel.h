// The OpenSSL TLS channel: one SSL object in client mode between two memory buffers.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>

#include "client/transfer/net/filter.h"

namespace orvane {

// Ciphertext from the socket that the channel holds at most before it refuses more (error).
constexpr size_t kTlsNetworkInputLimit = 1 << 20;
// Ciphertext waiting for the socket above which plaintext stays pending instead of being
// encrypted, so a fast sender cannot pile an entire file into memory.
constexpr size_t kTlsNetworkOutputHighWater = 64 * 1024;

// A channel in client (connect) state on the context; null on failure.
TlsChannel* tls_create_channel(TlsContext* context);

// Lets `data` resume the session of `control` (an FTP data connection reusing the control
// connection's TLS session, which many servers demand). Call before data's handshake starts; safe
// while control is in use on another thread. 0 when a resumable session was set; 1 when control
// has none yet, a channel is not an OpenSSL one or data's handshake has already begun.
int tls_channel_reuse_session(TlsChannel& data, const TlsChannel& control);

// The channel's SSL object, for inspection; null when it is not an OpenSSL channel.
SSL* tls_channel_ssl(const TlsChannel& channel);

// Queues close_notify behind any pending plaintext, so the peer sees a clean end (after an upload,
// before the data socket closes; a close_notify received is answered on its own). Send the
// network output, then close. 0 when queued or already sent; 1 on error, before the handshake
// completed, or while plaintext is still pending (try again after sending).
int tls_channel_shutdown(TlsChannel& channel);

// True once the handshake has completed.
bool tls_channel_handshake_done(const TlsChannel& channel);
// True once the peer's close_notify has arrived: everything it sent before has been read.
bool tls_channel_peer_closed(const TlsChannel& channel);
// True when the completed handshake resumed an earlier session.
bool tls_channel_session_reused(const TlsChannel& channel);

// Reports the completed handshake at info level: protocol version and cipher, then the server
// certificate's subject and SHA-256 fingerprint. 0 when logged; 1 when the handshake is not done.
int tls_log_session_info(const TlsChannel& channel, void (*log)(void*, const char*, int, int),
                         void* log_user);

// The context's new-session callback: keeps the newest session on the channel that negotiated it.
int tls_channel_capture_session(SSL* ssl, SSL_SESSION* session);

}  // namespace orvane
