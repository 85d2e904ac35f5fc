// The byte filters a connection can put between its socket and its handlers (TLS, SSH): one
// interface, a configuration record given at creation, and the providers that make them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/secret.h"

// OpenSSL's certificate-chain check under way (X509_STORE_CTX), opaque to the network core.
struct x509_store_ctx_st;

namespace orvane {

// Security mode of a connection.
enum SecurityMode : int {
    kSecurityPlain = 0,
    kSecurityTls = 1,
    kSecuritySsh = 2,
};

// The log callback of engines, groups, connections, sessions and filters: text, level, line end.
// Null sends the text to the process output sink.
using LogCallback = void (*)(void* user, const char* text, int level, int line_end);

// The host-key policy, asked on the connection's thread when a server presents its host key (the
// key blob) and its signature has been checked: 0 accepts it; anything else refuses it, with
// `refusal` saying why in the user's words. Without a function every key is refused.
// `recorded_types`, when given, names the key types already recorded for the host, which the key
// exchange asks the server for first.
struct HostKeyDecision {
    int (*function)(void* context, const std::string& host, uint16_t port, const std::string& key_blob,
                    std::string& refusal) = nullptr;
    void* context = nullptr;
    std::vector<std::string> (*recorded_types)(void* context, const std::string& host,
                                               uint16_t port) = nullptr;
};

// What a TLS channel asks its certificate policy during the handshake: the server's chain as
// presented (with the host's name set for checking) and where to report.
struct CertificateQuery {
    const std::string& host;
    uint16_t port;
    x509_store_ctx_st* chain;
    LogCallback log;
    void* log_user;
};

// The server-certificate policy, asked on the connection's thread before the handshake completes:
// 0 accepts the server; anything else refuses it, with `refusal` saying why in the user's words,
// and the handshake fails before any application byte is sent. Without a function a channel
// accepts only a certificate that the system's CA store verifies for the host's name.
struct CertificateDecision {
    int (*function)(void* context, const CertificateQuery& query, std::string& refusal) = nullptr;
    void* context = nullptr;
};

// Process-side state an engine's filters of one kind share (the TLS context, which also carries
// the client certificate); made by the provider.
struct TlsContext;

// What a filter is made with. Secrets live on pages kept out of core dumps, wiped when they go.
struct FilterConfig {
    FilterConfig() = default;
    FilterConfig(const FilterConfig&) = default;
    FilterConfig& operator=(const FilterConfig&) = default;
    ~FilterConfig();

    TlsContext* tls_context = nullptr;  // TLS: the engine's context
    std::string host;                   // as the user gave it
    uint16_t port = 22;                 // the server's port (SSH known hosts tell ports apart)
    std::string user;
    Secret password;
    std::string private_key_file;
    Secret pass_phrase;
    HostKeyDecision host_key;
    CertificateDecision certificate;  // TLS: null function: the engine's policy
    // TLS: the server must present this key ("sha256/BASE64"), as a data connection must present
    // its control connection's; no policy is asked then.
    std::string required_key;
    int timeout_seconds = 0;  // SSH: each exchange step before the data phase; 0 none
    LogCallback log = nullptr;
    void* log_user = nullptr;
};

// One filter in client mode. Network bytes go in and come out on one side, application bytes on
// the other; every put says how many bytes it took, so neither side can be flooded. Driven only
// by the connection's group thread once the connection carries I/O.
class ByteFilter {
  public:
    virtual ~ByteFilter() = default;

    // Starts the filter's own exchange (handshake). 0 when done or under way, 1 after a fatal error.
    virtual int start() = 0;

    // Network bytes from the socket; the count taken. Fewer than n: the filter is full until its
    // application bytes are read, or error() is set.
    virtual size_t put_network(const uint8_t* data, size_t n) = 0;
    // Application bytes for the handlers, up to capacity; 0 when none is ready.
    virtual size_t get_application(uint8_t* buffer, size_t capacity) = 0;

    // How many application bytes put_application() takes now, after moving on what the filter
    // already holds; 0 while the network side is backed up.
    virtual size_t application_room() = 0;
    // Application bytes to send; the count taken (all of them, up to application_room()).
    virtual size_t put_application(const uint8_t* data, size_t n) = 0;
    // True when network bytes wait for the socket.
    virtual bool network_output_waiting() = 0;
    // Network bytes for the socket, up to capacity; 0 when none (or after a fatal error).
    virtual size_t get_network(uint8_t* buffer, size_t capacity) = 0;
    // True while application bytes wait inside the filter or network bytes wait for the socket.
    virtual bool output_pending() { return network_output_waiting(); }

    // 0 while sound; 1 after a fatal error, whose cause error_text() keeps.
    virtual int error() const = 0;
    virtual const std::string& error_text() const = 0;
    // A user of the filter found the stream unusable.
    virtual void fail(const std::string& cause) = 0;

    // True once the filter's exchange has completed.
    virtual bool established() const { return true; }
    // True once the peer has ended its stream cleanly: everything it sent before has been read.
    virtual bool peer_closed() const { return false; }
    // Queues a clean end of the stream behind what the filter holds. 0 when queued or already
    // sent; 1 when it cannot be done now.
    virtual int close_stream() { return 1; }
    // Lets this filter resume the security session of `earlier`, a filter on another connection
    // (FTPS data connections reuse the control connection's session). Call before start(); safe
    // while `earlier` is in use on another thread. 0 when set, 1 otherwise.
    virtual int resume_from(const ByteFilter& /*earlier*/) { return 1; }
    // Logs at info level what the completed exchange settled. 0 when logged, 1 when not done.
    virtual int describe(LogCallback /*log*/, void* /*log_user*/) const { return 1; }
    // The server's public key as "sha256/BASE64" (SHA-256 of its SubjectPublicKeyInfo) once the
    // exchange has completed; empty for filters without one.
    virtual std::string peer_key() const { return {}; }
    // Names the implementation, so that a filter can recognise others of its own kind.
    virtual const void* family() const = 0;
};

// The client certificate a TLS context presents: the certificate file, its key file (may be empty)
// and the password that unlocks them. The password is wiped when the record goes.
struct ClientCertificate {
    ClientCertificate() = default;
    ClientCertificate(const ClientCertificate&) = default;
    ClientCertificate& operator=(const ClientCertificate& other);  // wipes the password it replaces
    ~ClientCertificate();

    std::string certificate_file;  // empty: none
    std::string key_file;
    std::string password;
    bool empty() const { return certificate_file.empty(); }
};

// What the TLS and SSH layers supply to the network core. A provider without create_filter is
// absent: switching a connection to its mode fails.
struct FilterProvider {
    // The state an engine's filters share (TLS); null functions when the mode has none.
    TlsContext* (*create_context)() = nullptr;
    void (*destroy_context)(TlsContext* context) = nullptr;
    // Makes the context present the certificate; 0 when it loaded, 1 otherwise (context unchanged).
    int (*load_certificate)(TlsContext& context, const ClientCertificate& certificate) = nullptr;
    ByteFilter* (*create_filter)(const FilterConfig& config) = nullptr;  // null on failure
};

// The providers an engine is started with, one per security mode that has a filter.
struct FilterProviders {
    FilterProvider tls;
    FilterProvider ssh;
    // The server-certificate policy of every TLS connection whose configuration names none.
    CertificateDecision certificates;

    // The provider of a mode; null for the plain mode and for a mode without one.
    const FilterProvider* for_mode(int mode) const {
        const FilterProvider* p = mode == kSecurityTls ? &tls : mode == kSecuritySsh ? &ssh : nullptr;
        return p && p->create_filter ? p : nullptr;
    }
};

}  // namespace orvane
