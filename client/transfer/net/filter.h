// The byte filters a connection can put between its socket and its handlers: TLS and SSH.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane {

// Security mode of a connection.
enum SecurityMode : int {
    kSecurityPlain = 0,
    kSecurityTls = 1,
    kSecuritySsh = 2,
};

// One TLS channel in client mode, driven through memory: ciphertext in from the socket,
// ciphertext out to the socket, plaintext in between. Used only by the connection's group thread
// once the connection carries I/O.
class TlsChannel {
  public:
    static constexpr size_t kPendingCapacity = 16384;

    virtual ~TlsChannel() = default;
    // 1 after a fatal TLS error; the waiting protocol step checks it and fails.
    virtual int error() const = 0;
    virtual void set_error() = 0;
    // Ciphertext received from the socket.
    virtual void write_network_input(const uint8_t* data, size_t n) = 0;
    // Decrypted bytes, up to capacity; 0 when none is available (a fatal error sets error()).
    virtual size_t read_plaintext(uint8_t* buffer, size_t capacity) = 0;
    // Plaintext to encrypt: returns how many bytes TLS took; bytes not taken stay pending in the
    // channel (at most kPendingCapacity) and go out first with the next flush.
    virtual size_t write_plaintext(const uint8_t* data, size_t n) = 0;
    // Writes pending plaintext into TLS; true when none remains pending afterwards.
    virtual bool flush_pending_plaintext() = 0;
    virtual bool has_pending_plaintext() const = 0;
    // True when, after flushing pending plaintext, ciphertext waits to be sent.
    virtual bool network_output_waiting() = 0;
    // Ciphertext to send, up to capacity; returns the count, or -1 on failure (error set).
    virtual int64_t read_network_output(uint8_t* buffer, size_t capacity) = 0;
    // Starts the handshake (client side). 0 when done or under way, 1 after a fatal error.
    virtual int start_handshake() = 0;
};

// The SSH session seen as a byte filter: four queues and a step that moves bytes between them.
class SshFilter {
  public:
    virtual ~SshFilter() = default;
    // Raw bytes from the socket; the next step consumes them all.
    virtual void append_network_input(const uint8_t* data, size_t n) = 0;
    // Advances the session as far as its queued input allows.
    virtual void step() = 0;
    // Channel data for the application, up to capacity; the count taken.
    virtual size_t take_application_input(uint8_t* buffer, size_t capacity) = 0;
    // Application bytes to send as channel data.
    virtual void append_application_output(const uint8_t* data, size_t n) = 0;
    // Bytes for the socket, in order, up to capacity; the count taken.
    virtual size_t take_network_output(uint8_t* buffer, size_t capacity) = 0;
    virtual bool network_output_waiting() const = 0;
};

// Opaque process-side TLS state shared by an engine's connections (the SSL context).
struct TlsContext;

// What the TLS and SSH layers supply to the network core. Until a provider is installed,
// switching a connection to that mode fails.
struct TlsProvider {
    TlsContext* (*create_context)();
    void (*destroy_context)(TlsContext* context);
    TlsChannel* (*create_channel)(TlsContext* context);  // null on failure
};
struct SshProvider {
    // log and log_user: the message sink of the connection (text, level, line end).
    SshFilter* (*create_session)(void (*log)(void*, const char*, int, int),
                                 void* log_user);  // null on failure
};

// Installed once at start-up by the layers that implement them (before any engine starts).
void install_tls_provider(const TlsProvider* provider);
void install_ssh_provider(const SshProvider* provider);
const TlsProvider* tls_provider();
const SshProvider* ssh_provider();

}  // namespace orvane
