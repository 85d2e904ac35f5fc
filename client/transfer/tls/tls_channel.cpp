// The OpenSSL TLS channel: ciphertext and plaintext moved through memory BIOs, never a socket.
#include "client/transfer/tls/tls_channel.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "client/transfer/tls/tls_context.h"

namespace orvane {

namespace {

struct SslFree {
    void operator()(SSL* p) const { SSL_free(p); }
};

class OpenSslChannel final : public TlsChannel {
  public:
    OpenSslChannel(std::unique_ptr<SSL, SslFree> ssl, BIO* in, BIO* out)
        : ssl_(std::move(ssl)), in_(in), out_(out), pending_(kPendingCapacity) {}

    ~OpenSslChannel() override {
        // Plaintext may be a PASS command.
        OPENSSL_cleanse(pending_.data(), pending_.size());
        std::lock_guard<std::mutex> hold(session_lock_);
        SSL_SESSION_free(session_);
    }

    int error() const override { return error_; }
    void set_error() override { error_ = 1; }

    void write_network_input(const uint8_t* data, size_t n) override {
        if (error_ || n == 0) return;
        if (BIO_ctrl_pending(in_) + n > kTlsNetworkInputLimit) {
            // The peer sends faster than the handler takes: stop rather than grow.
            error_ = 1;
            return;
        }
        if (BIO_write(in_, data, static_cast<int>(n)) != static_cast<int>(n)) error_ = 1;
    }

    size_t read_plaintext(uint8_t* buffer, size_t capacity) override {
        if (error_ || capacity == 0) return 0;
        ERR_clear_error();
        size_t n = 0;
        if (SSL_read_ex(ssl_.get(), buffer, capacity, &n) == 1) return n;
        classify_failure();
        return 0;
    }

    size_t write_plaintext(const uint8_t* data, size_t n) override {
        size_t taken = 0;
        if (!error_ && pending_length_ == 0 && room_for_output()) {
            ERR_clear_error();
            if (SSL_write_ex(ssl_.get(), data, n, &taken) != 1) {
                taken = 0;
                classify_failure();
            }
        }
        size_t rest = n - taken;
        size_t room = pending_.size() - pending_length_;
        if (rest > room) {
            // Bytes that fit nowhere would be lost: the connection cannot go on.
            error_ = 1;
            rest = room;
        }
        if (rest > 0) std::memcpy(pending_.data() + pending_length_, data + taken, rest);
        pending_length_ += rest;
        return taken;
    }

    bool flush_pending_plaintext() override {
        while (!error_ && pending_length_ > 0 && room_for_output()) {
            ERR_clear_error();
            size_t written = 0;
            if (SSL_write_ex(ssl_.get(), pending_.data(), pending_length_, &written) != 1) {
                classify_failure();
                break;
            }
            if (written == 0) break;
            std::memmove(pending_.data(), pending_.data() + written, pending_length_ - written);
            pending_length_ -= written;
        }
        return pending_length_ == 0;
    }

    bool has_pending_plaintext() const override { return pending_length_ > 0; }

    bool network_output_waiting() override {
        flush_pending_plaintext();
        return BIO_ctrl_pending(out_) > 0;
    }

    int64_t read_network_output(uint8_t* buffer, size_t capacity) override {
        // After an error this still hands out the alert OpenSSL wrote for the peer.
        if (BIO_ctrl_pending(out_) == 0 || capacity == 0) return 0;
        int r = BIO_read(out_, buffer, static_cast<int>(std::min<size_t>(capacity, INT_MAX)));
        if (r <= 0) {
            error_ = 1;
            return -1;
        }
        return r;
    }

    int start_handshake() override {
        if (error_) return 1;
        ERR_clear_error();
        int r = SSL_connect(ssl_.get());
        if (r == 1) return 0;
        return classify_failure();
    }

    SSL* ssl() const { return ssl_.get(); }

    // Queues close_notify once, after any pending plaintext; 0 when queued or already sent.
    int shutdown() {
        if (SSL_get_shutdown(ssl_.get()) & SSL_SENT_SHUTDOWN) return 0;
        if (error_ || !flush_pending_plaintext() || SSL_is_init_finished(ssl_.get()) != 1) return 1;
        ERR_clear_error();
        int r = SSL_shutdown(ssl_.get());
        ERR_clear_error();
        return r >= 0 ? 0 : 1;
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

    // Sets the error flag for every failure class but "try again" and a clean close by the
    // peer (close_notify ends a data connection normally). 1 when the flag was set.
    int classify_failure() {
        int e = SSL_get_error(ssl_.get(), 0);
        ERR_clear_error();  // leave nothing behind for the next connection on this thread
        switch (e) {
            case SSL_ERROR_NONE:
            case SSL_ERROR_WANT_READ:
            case SSL_ERROR_WANT_WRITE:
                return 0;
            case SSL_ERROR_ZERO_RETURN:
                // Servers such as vsftpd wait for the answering close_notify before they report
                // the transfer complete.
                shutdown();
                return 0;
            default:
                error_ = 1;
                return 1;
        }
    }

    std::unique_ptr<SSL, SslFree> ssl_;
    BIO* in_;   // owned by ssl_
    BIO* out_;  // owned by ssl_
    int error_ = 0;
    std::vector<uint8_t> pending_;  // kPendingCapacity bytes, fixed at creation
    size_t pending_length_ = 0;
    // Written by the thread that drives this channel, read by a data connection's thread.
    mutable std::mutex session_lock_;
    SSL_SESSION* session_ = nullptr;
};

OpenSslChannel* as_openssl(const TlsChannel& channel) {
    return const_cast<OpenSslChannel*>(dynamic_cast<const OpenSslChannel*>(&channel));
}

}  // namespace

TlsChannel* tls_create_channel(TlsContext* context) {
    if (!context) return nullptr;
    std::unique_ptr<SSL, SslFree> ssl(tls_context_new_ssl(*context));
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
    OpenSslChannel* channel = nullptr;
    try {
        channel = new OpenSslChannel(std::move(ssl), in, out);
    } catch (const std::bad_alloc&) {
        SSL_free(raw);  // the constructor did not take it
        return nullptr;
    }
    SSL_set_app_data(raw, channel);
    return channel;
}

int tls_channel_reuse_session(TlsChannel& data, const TlsChannel& control) {
    OpenSslChannel* d = as_openssl(data);
    OpenSslChannel* c = as_openssl(control);
    if (!d || !c || d == c || SSL_in_before(d->ssl()) != 1) return 1;
    SSL_SESSION* session = c->session_reference();
    if (!session) return 1;
    // Each data connection resumes a copy: OpenSSL marks a session unusable when a connection
    // that used it is freed without a clean shutdown, as data connections often are, and that
    // must not cost the control connection's session the next transfer needs.
    SSL_SESSION* copy = SSL_SESSION_dup(session);
    SSL_SESSION_free(session);
    if (!copy) return 1;
    int r = SSL_set_session(d->ssl(), copy) == 1 ? 0 : 1;
    SSL_SESSION_free(copy);
    return r;
}

SSL* tls_channel_ssl(const TlsChannel& channel) {
    OpenSslChannel* c = as_openssl(channel);
    return c ? c->ssl() : nullptr;
}

int tls_channel_shutdown(TlsChannel& channel) {
    OpenSslChannel* c = as_openssl(channel);
    return c ? c->shutdown() : 1;
}

bool tls_channel_handshake_done(const TlsChannel& channel) {
    SSL* ssl = tls_channel_ssl(channel);
    return ssl && SSL_is_init_finished(ssl) == 1;
}

bool tls_channel_peer_closed(const TlsChannel& channel) {
    SSL* ssl = tls_channel_ssl(channel);
    return ssl && (SSL_get_shutdown(ssl) & SSL_RECEIVED_SHUTDOWN) != 0;
}

bool tls_channel_session_reused(const TlsChannel& channel) {
    SSL* ssl = tls_channel_ssl(channel);
    return ssl && SSL_session_reused(ssl) == 1;
}

int tls_channel_capture_session(SSL* ssl, SSL_SESSION* session) {
    auto* channel = static_cast<OpenSslChannel*>(SSL_get_app_data(ssl));
    return channel && channel->capture(session) ? 1 : 0;
}

}  // namespace orvane
