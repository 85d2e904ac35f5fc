// The OpenSSL TLS channel: ciphertext and plaintext moved through memory BIOs, never a socket.
#include "client/transfer/tls/tls_channel.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "client/transfer/tls/tls_context.h"
#include "client/transfer/tls/tls_trust.h"

namespace orvane {

namespace {

struct SslFree {
    void operator()(SSL* p) const { SSL_free(p); }
};

// Tells OpenSslChannel objects from other filters without RTTI.
const char kFamily = 0;

class OpenSslChannel final : public ByteFilter {
  public:
    OpenSslChannel(std::unique_ptr<SSL, SslFree> ssl, BIO* in, BIO* out, const FilterConfig& config)
        : ssl_(std::move(ssl)),
          in_(in),
          out_(out),
          pending_(kTlsPendingCapacity),
          log_(config.log),
          log_user_(config.log_user),
          host_(config.host),
          port_(config.port),
          decision_(config.certificate),
          required_key_(config.required_key) {}

    ~OpenSslChannel() override {
        // Plaintext may be a PASS command.
        OPENSSL_cleanse(pending_.data(), pending_.size());
        std::lock_guard<std::mutex> hold(session_lock_);
        SSL_SESSION_free(session_);
    }

    const void* family() const override { return &kFamily; }
    int error() const override { return error_; }
    const std::string& error_text() const override { return error_text_; }
    void fail(const std::string& cause) override { set_failure(cause); }

    int start() override {
        if (error_) return 1;
        ERR_clear_error();
        int r = SSL_connect(ssl_.get());
        if (r == 1) return 0;
        return classify_failure(r);
    }

    size_t put_network(const uint8_t* data, size_t n) override {
        if (error_ || n == 0) return 0;
        size_t held = BIO_ctrl_pending(in_);
        // The peer sends faster than the handler takes: take no more until the plaintext is read.
        if (held >= kTlsNetworkInputLimit) return 0;
        n = std::min(n, kTlsNetworkInputLimit - held);
        if (BIO_write(in_, data, static_cast<int>(n)) != static_cast<int>(n)) {
            set_failure("the channel's input buffer refused bytes");
            return 0;
        }
        return n;
    }

    size_t get_application(uint8_t* buffer, size_t capacity) override {
        if (error_ || capacity == 0) return 0;
        ERR_clear_error();
        size_t n = 0;
        int r = SSL_read_ex(ssl_.get(), buffer, capacity, &n);
        if (r == 1) return n;
        classify_failure(r);
        return 0;
    }

    size_t application_room() override {
        flush_pending();
        return !error_ && pending_length_ == 0 ? pending_.size() : 0;
    }

    size_t put_application(const uint8_t* data, size_t n) override {
        size_t taken = 0;
        if (!error_ && pending_length_ == 0 && room_for_output()) {
            ERR_clear_error();
            int r = SSL_write_ex(ssl_.get(), data, n, &taken);
            if (r != 1) {
                taken = 0;
                classify_failure(r);
            }
        }
        // What TLS did not take now waits in the channel and goes first with the next flush.
        size_t rest = std::min(n - taken, pending_.size() - pending_length_);
        if (rest > 0) std::memcpy(pending_.data() + pending_length_, data + taken, rest);
        pending_length_ += rest;
        return taken + rest;
    }

    bool network_output_waiting() override {
        flush_pending();
        return BIO_ctrl_pending(out_) > 0;
    }

    size_t get_network(uint8_t* buffer, size_t capacity) override {
        // After an error this still hands out the alert OpenSSL wrote for the peer.
        if (BIO_ctrl_pending(out_) == 0 || capacity == 0) return 0;
        int r = BIO_read(out_, buffer, static_cast<int>(std::min<size_t>(capacity, INT_MAX)));
        if (r <= 0) {
            set_failure("the channel's output buffer could not be read");
            return 0;
        }
        return static_cast<size_t>(r);
    }

    bool output_pending() override { return !flush_pending() || BIO_ctrl_pending(out_) > 0; }

    bool established() const override { return SSL_is_init_finished(ssl_.get()) == 1; }

    bool peer_closed() const override { return (SSL_get_shutdown(ssl_.get()) & SSL_RECEIVED_SHUTDOWN) != 0; }

    // Queues close_notify once, after any pending plaintext.
    int close_stream() override {
        if (SSL_get_shutdown(ssl_.get()) & SSL_SENT_SHUTDOWN) return 0;
        if (error_ || !flush_pending() || SSL_is_init_finished(ssl_.get()) != 1) return 1;
        ERR_clear_error();
        int r = SSL_shutdown(ssl_.get());
        ERR_clear_error();
        return r >= 0 ? 0 : 1;
    }

    // The filter as a channel of this class, or null: recognised by its family, not by RTTI.
    static const OpenSslChannel* of(const ByteFilter& filter) {
        return filter.family() == &kFamily ? static_cast<const OpenSslChannel*>(&filter) : nullptr;
    }

    int resume_from(const ByteFilter& earlier) override {
        const OpenSslChannel* other = of(earlier);
        if (!other || other == this || SSL_in_before(ssl_.get()) != 1) return 1;
        SSL_SESSION* session = other->session_reference();
        if (!session) return 1;
        // Each data connection resumes a copy: OpenSSL marks a session unusable when a connection
        // that used it is freed without a clean shutdown, as data connections often are, and that
        // must not cost the control connection's session the next transfer needs.
        SSL_SESSION* copy = SSL_SESSION_dup(session);
        SSL_SESSION_free(session);
        if (!copy) return 1;
        int r = SSL_set_session(ssl_.get(), copy) == 1 ? 0 : 1;
        SSL_SESSION_free(copy);
        return r;
    }

    int describe(LogCallback log, void* log_user) const override {
        if (!established()) return 1;
        tls_log_handshake(ssl_.get(), log ? log : log_, log ? log_user : log_user_);
        return 0;
    }

    SSL* ssl() const { return ssl_.get(); }

    // Kept at the check, so a data connection's thread never reads this channel's SSL object.
    std::string peer_key() const override {
        std::lock_guard<std::mutex> hold(session_lock_);
        return peer_key_;
    }

    // Asked once per full handshake with the server's chain; a refusal is the channel's failure
    // cause, so the user reads it rather than OpenSSL's "certificate verify failed".
    bool accept_server(X509_STORE_CTX* chain) {
        std::string refusal;
        int r = 0;
        std::string key = certificate_key_text(X509_STORE_CTX_get0_cert(chain));
        if (!required_key_.empty()) {
            r = key == required_key_ ? 0 : 1;
            if (r != 0)
                refusal = "the data connection's server presented the key " + key +
                          ", not the control connection's " + required_key_;
        } else if (decision_.function) {
            CertificateQuery query{host_, port_, chain, log_, log_user_};
            r = decision_.function(decision_.context, query, refusal);
        } else {
            r = X509_verify_cert(chain) == 1 ? 0 : 1;
            if (r != 0)
                refusal = "the certificate of " + host_ + ":" + std::to_string(port_) + " is not trusted: " +
                          X509_verify_cert_error_string(X509_STORE_CTX_get_error(chain));
        }
        if (r == 0) {
            std::lock_guard<std::mutex> hold(session_lock_);
            peer_key_ = key;
            return true;
        }
        set_failure(refusal);
        X509_STORE_CTX_set_error(chain, X509_V_ERR_APPLICATION_VERIFICATION);
        return false;
    }

    // The newest resumable session; OpenSSL's reference passes to the channel.
    bool capture(SSL_SESSION* session) {
        if (SSL_SESSION_is_resumable(session) != 1) return false;
        std::lock_guard<std::mutex> hold(session_lock_);
        SSL_SESSION_free(session_);
        session_ = session;
        return true;
    }

    // A new reference to the captured session, or null.
    SSL_SESSION* session_reference() const {
        std::lock_guard<std::mutex> hold(session_lock_);
        if (!session_ || SSL_SESSION_up_ref(session_) != 1) return nullptr;
        return session_;
    }

  private:
    bool room_for_output() const { return BIO_ctrl_pending(out_) < kTlsNetworkOutputHighWater; }

    // Writes pending plaintext into TLS while the ciphertext stays below the high-water mark;
    // true when none remains pending.
    bool flush_pending() {
        while (!error_ && pending_length_ > 0 && room_for_output()) {
            ERR_clear_error();
            size_t written = 0;
            int r = SSL_write_ex(ssl_.get(), pending_.data(), pending_length_, &written);
            if (r != 1) {
                classify_failure(r);
                break;
            }
            if (written == 0) break;
            std::memmove(pending_.data(), pending_.data() + written, pending_length_ - written);
            pending_length_ -= written;
        }
        return pending_length_ == 0;
    }

    void set_failure(const std::string& cause) {
        if (error_) return;  // the first cause is the one that explains
        error_ = 1;
        error_text_ = cause;
    }

    // Fails the channel for every failure class but "try again" and a clean close by the peer
    // (close_notify ends a data connection normally), keeping OpenSSL's reason. 1 when failed.
    int classify_failure(int r) {
        int e = SSL_get_error(ssl_.get(), r);
        unsigned long code = ERR_peek_last_error();
        int saved_errno = errno;
        std::string reason;
        if (code != 0) {
            // The library's short reason; its whole error line when it has none.
            const char* short_reason = ERR_reason_error_string(code);
            char text[256];
            if (!short_reason) ERR_error_string_n(code, text, sizeof text);
            reason = short_reason ? short_reason : text;
        }
        ERR_clear_error();  // leave nothing behind for the next connection on this thread
        switch (e) {
            case SSL_ERROR_NONE:
            case SSL_ERROR_WANT_READ:
            case SSL_ERROR_WANT_WRITE:
                return 0;
            case SSL_ERROR_ZERO_RETURN:
                // Servers such as vsftpd wait for the answering close_notify before they report
                // the transfer complete.
                close_stream();
                return 0;
            case SSL_ERROR_SYSCALL:
                if (!reason.empty()) {
                    set_failure(reason);
                } else {
                    set_failure(saved_errno != 0 ? std::strerror(saved_errno)
                                                 : "the stream ended unexpectedly");
                }
                return 1;
            default:
                set_failure(reason.empty() ? std::string("protocol error") : reason);
                return 1;
        }
    }

    std::unique_ptr<SSL, SslFree> ssl_;
    BIO* in_;   // owned by ssl_
    BIO* out_;  // owned by ssl_
    int error_ = 0;
    std::string error_text_;
    std::vector<uint8_t> pending_;  // kTlsPendingCapacity bytes, fixed at creation
    size_t pending_length_ = 0;
    LogCallback log_;
    void* log_user_;
    std::string host_;
    uint16_t port_;
    CertificateDecision decision_;
    std::string required_key_;
    // Written by the thread that drives this channel, read by a data connection's thread.
    mutable std::mutex session_lock_;
    SSL_SESSION* session_ = nullptr;
    std::string peer_key_;  // the accepted server's key; also guarded by session_lock_
};

// The name the certificate must carry: an address is matched as one; a name is also sent (SNI) so
// that a server with several names presents the right certificate.
int set_server_name(SSL* ssl, const std::string& host) {
    if (host.empty()) return 0;
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1) return 0;
    ERR_clear_error();
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (SSL_set1_host(ssl, host.c_str()) != 1) return 1;
    if (SSL_set_tlsext_host_name(ssl, host.c_str()) != 1) ERR_clear_error();  // a name SNI cannot carry
    return 0;
}

}  // namespace

int tls_verify_server(X509_STORE_CTX* chain, void*) {
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(chain, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* channel = ssl ? static_cast<OpenSslChannel*>(SSL_get_app_data(ssl)) : nullptr;
    return channel && channel->accept_server(chain) ? 1 : 0;
}

ByteFilter* tls_create_channel(const FilterConfig& config) {
    if (!config.tls_context) return nullptr;
    std::unique_ptr<SSL, SslFree> ssl(tls_context_new_ssl(*config.tls_context));
    if (!ssl) return nullptr;
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (!in || !out) {
        BIO_free(in);
        BIO_free(out);
        return nullptr;
    }
    SSL* raw = ssl.get();
    SSL_set_bio(raw, in, out);
    SSL_set_connect_state(raw);
    if (set_server_name(raw, config.host) != 0) return nullptr;
    OpenSslChannel* channel = nullptr;
    try {
        channel = new OpenSslChannel(std::move(ssl), in, out, config);
    } catch (const std::bad_alloc&) {
        SSL_free(raw);  // the constructor did not take it
        return nullptr;
    }
    SSL_set_app_data(raw, channel);
    return channel;
}

SSL* tls_channel_ssl(const ByteFilter& channel) {
    const OpenSslChannel* c = OpenSslChannel::of(channel);
    return c ? c->ssl() : nullptr;
}

bool tls_channel_session_reused(const ByteFilter& channel) {
    SSL* ssl = tls_channel_ssl(channel);
    return ssl && SSL_session_reused(ssl) == 1;
}

int tls_channel_capture_session(SSL* ssl, SSL_SESSION* session) {
    auto* channel = static_cast<OpenSslChannel*>(SSL_get_app_data(ssl));
    return channel && channel->capture(session) ? 1 : 0;
}

}  // namespace orvane
