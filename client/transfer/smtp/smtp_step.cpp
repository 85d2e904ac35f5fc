// The SMTP connection step: the only SMTP code that reads a connection; the conversation itself is
// the engine's.
#include "client/transfer/smtp/smtp_step.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "common/secret.h"

namespace orvane {

namespace {

SmtpLink& link_of(Connection& c) {
    return *static_cast<SmtpLink*>(c.step_state.context);
}

// Credentials leave no copy behind in the connection's buffers once their line has gone.
void wipe_sent(Connection& c, SmtpLink& l) {
    OPENSSL_cleanse(c.send_buffer.data(), c.send_buffer.size());
    OPENSSL_cleanse(c.filter_buffer.data(), c.filter_buffer.size());
    wipe_secret(l.out);
    l.out_offset = 0;
}

void begin_receive(Connection& c, SmtpLink& l) {
    l.receiving = true;
    l.receive_mark = l.fed;
    start_receive(c);
}

// Keeps a receive going while a reply is awaited. A receive that ended without bytes means the peer
// has closed (or sent only TLS records): wait for the socket's read or close event then.
void keep_receiving(Connection& c, SmtpLink& l) {
    if (c.receive_pending || c.send_pending) return;
    bool io_done = (c.flags & kFlagIoDone) != 0;
    bool readable = c.network_events.ok(kNetRead, kNetReadIndex);
    if (!io_done && !readable) return;
    if (io_done && !readable && l.receiving && l.fed == l.receive_mark) {
        l.receiving = false;
        return;
    }
    begin_receive(c, l);
}

void log_through_delivery(void* user, const char* text, int level, int) {
    delivery_log(*static_cast<const SmtpDelivery*>(user), level, text);
}

int report_tls(void* context, const SmtpDelivery& d) {
    const Connection& c = *static_cast<const Connection*>(context);
    return c.filter ? c.filter->describe(log_through_delivery, const_cast<SmtpDelivery*>(&d)) : 1;
}

// The server has accepted STARTTLS. A read-ahead still waiting is started again through TLS.
void start_tls(Connection& c, SmtpLink& l) {
    c.receive_pending = false;
    c.read_ahead = false;
    if (set_security(c, kSecurityTls) != 0 || !c.filter) {
        l.engine.fail(FailureKind::kLocal, "ERROR: TLS is not available for the mail connection");
        return;
    }
    if (c.filter->start() != 0) {
        l.engine.fail(FailureKind::kLocal,
                      with_filter_cause(c, "ERROR: The TLS handshake with the mail server failed"));
        return;
    }
    l.engine.tls_started();  // EHLO waits inside the channel until the handshake is done
}

// Does what the engine asks until it waits for the server or the phase ends.
void carry_out(Connection& c, SmtpLink& l) {
    for (;;) {
        LineNext next = l.engine.next();
        if (l.engine.take_secret_gone()) wipe_sent(c, l);
        if (next.kind == LineNext::kStartTls) {
            start_tls(c, l);
            continue;
        }
        if (next.kind == LineNext::kFinish) {
            if (next.close) close_socket(c);
            finish_step(c, next.result);
            return;
        }
        std::string bytes = l.engine.take_output();
        if (bytes.empty()) {
            keep_receiving(c, l);
            return;
        }
        wipe_secret(l.out);
        l.out = std::move(bytes);
        l.out_offset = 0;
        l.receiving = false;
        if (start_send(c) != 0) raise_flag(c, kFlagIoDone);
        return;
    }
}

std::string tls_failure_message(const Connection& c) {
    bool during_handshake = c.filter && !c.filter->established();
    return with_filter_cause(c, during_handshake ? "ERROR: The TLS handshake with the mail server failed"
                                                 : "ERROR: TLS failure on the mail connection");
}

void on_connecting(Connection& c, SmtpLink& l) {
    if (c.network_events.ok(kNetWrite, kNetWriteIndex)) {
        std::string address;
        uint32_t port = 0;
        local_address(c, address, port);
        register_events(c, kNetRead | kNetClose);
        if (l.d.implicit_tls) {
            if (set_security(c, kSecurityTls) != 0 || !c.filter) {
                l.engine.fail(FailureKind::kLocal, "ERROR: TLS is not available for the mail connection");
                carry_out(c, l);
                return;
            }
            if (c.filter->start() != 0) {
                l.engine.fail(FailureKind::kLocal, tls_failure_message(c));
                carry_out(c, l);
                return;
            }
            start_send(c);  // the client's first handshake record
        }
        l.engine.connected(address, l.d.implicit_tls);
        l.receiving = false;
        begin_receive(c, l);  // the greeting
        return;
    }
    bool connect_ok = c.network_events.ok(kNetConnect, kNetConnectIndex);
    if (connect_ok && !(c.flags & (kFlagTimedOut | kFlagAbort))) return;
    if (!connect_ok && c.flags == 0 && c.network_events.events == 0) return;
    int error = c.network_events.errors[kNetConnectIndex];
    std::string message = "ERROR: Could not establish tcp connection to the mail server";
    FailureKind kind = FailureKind::kLocal;
    if (error != 0) {
        message += " (" + platform::socket_error_text(error) + ")";
    } else if (c.flags & kFlagTimedOut) {
        message += " (no answer within the reply timeout of " + std::to_string(l.d.timeout_seconds) + " s)";
        kind = FailureKind::kTimeout;
    }
    l.engine.fail(kind, message);
    carry_out(c, l);
}

// Name lookup and connect. The lookup blocks this thread as it always has (mail servers are
// looked up once per delivery).
void begin_connect(Connection& c, SmtpLink& l) {
    l.fed = l.receive_mark = 0;
    l.receiving = false;
    set_security_plain(c);
    c.host_text = l.d.host;
    c.port = l.d.port;
    if (l.d.host.empty() || resolve_host(c) != 0) {
        l.engine.fail(FailureKind::kLocal, "ERROR: Could not resolve mail server address");
        carry_out(c, l);
        return;
    }
    create_socket(c);
    int r = connect_socket(c);
    if (r != 0) {
        l.engine.fail(
            r == platform::kConnectTimedOut ? FailureKind::kTimeout : FailureKind::kLocal,
            r == platform::kConnectRefused ? "ERROR: Could not connect to mail server: connection was refused"
            : r == platform::kConnectTimedOut
                ? "ERROR: Could not connect to mail server: connection timed out"
            : r == platform::kConnectFailed ? "ERROR: Could not connect to mail server: connection failed"
                                            : "ERROR: Could not connect to mail server");
        carry_out(c, l);
        return;
    }
    register_events(c, kNetWrite | kNetConnect);
    l.engine.connecting();
}

}  // namespace

void smtp_step(Connection& c) {
    SmtpLink& l = link_of(c);
    if (c.flags & kFlagPosted) {
        c.timeout_seconds = l.d.timeout_seconds;
        c.idle_seconds = 0;
        l.engine.set_tls_report(SmtpTlsReport{report_tls, &c});
        l.receiving = false;
        l.engine.start(l.d.first, c.socket != platform::kInvalidSocket && c.socket_active);
        if (l.d.first == SmtpCommand::kGreeting) {
            begin_connect(c, l);
        } else {
            carry_out(c, l);
        }
        return;
    }
    SmtpState state = l.engine.state();
    if (state == SmtpState::kIdle) return;
    if (state == SmtpState::kConnecting) {
        on_connecting(c, l);
        return;
    }
    if (c.filter && c.filter->error()) l.engine.stream_failed(tls_failure_message(c));
    // A reply while the command is still going out waits until it has gone (or time runs out).
    bool stopped = l.engine.state() == SmtpState::kIdle;
    if (!stopped && c.send_pending && !(c.flags & kFlagTimedOut)) return;
    if (c.network_events.has(kNetClose) || c.socket == platform::kInvalidSocket) l.engine.closed();
    if (c.flags & kFlagTimedOut) l.engine.timed_out();
    carry_out(c, l);
}

int smtp_receive(Connection& c, const uint8_t* data, size_t n) {
    if (n == 0 || !c.step_state.context) return 0;
    SmtpLink& l = link_of(c);
    l.fed += n;
    l.engine.receive(std::string_view(reinterpret_cast<const char*>(data), n));
    return l.engine.reading_failed() ? 1 : 0;
}

int smtp_send(Connection& c, uint8_t* buffer, size_t* length, size_t capacity) {
    *length = 0;
    if (!c.step_state.context) return 1;
    SmtpLink& l = link_of(c);
    size_t n = std::min(capacity, l.out.size() - std::min(l.out_offset, l.out.size()));
    if (n == 0) return 1;
    std::memcpy(buffer, l.out.data() + l.out_offset, n);
    l.out_offset += n;
    *length = n;
    return 0;
}

}  // namespace orvane
