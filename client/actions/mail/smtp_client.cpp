// The SMTP step machine: connecting, sending a command line, reading replies, the switch to TLS,
// QUIT, and the time-out of a silent server.
#include "client/actions/mail/smtp_client.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "common/log.h"
#include "common/secret.h"
#include "common/text.h"

namespace orvane {

namespace {

constexpr const char* kStateNames[] = {"idle", "connecting", "exchanging", "quitting"};
static_assert(sizeof kStateNames / sizeof kStateNames[0] == static_cast<size_t>(SmtpState::kCount),
              "one name per state");

SmtpDelivery& delivery_of(Connection& c) {
    return *static_cast<SmtpDelivery*>(c.step_state.context);
}

SmtpState state_of(const Connection& c) {
    int v = c.step_state.state;
    return v >= 0 && v < static_cast<int>(SmtpState::kCount) ? static_cast<SmtpState>(v) : SmtpState::kIdle;
}

// The one place the state changes.
void set_state(Connection& c, SmtpDelivery& d, SmtpState state) {
    SmtpState old = state_of(c);
    c.step_state.state = static_cast<int>(state);
    if (d.trace && old != state)
        delivery_log(d, kLevelInfo,
                     std::string("SMTP state: ") + smtp_state_name(old) + " -> " + smtp_state_name(state));
}

void end_step(Connection& c, SmtpDelivery& d, int result) {
    set_state(c, d, SmtpState::kIdle);
    finish_step(c, result);
}

// Credentials leave no copy behind in the connection's buffers once their line has gone.
void wipe_sent_secret(Connection& c, SmtpDelivery& d) {
    OPENSSL_cleanse(c.send_buffer.data(), c.send_buffer.size());
    OPENSSL_cleanse(c.filter_buffer.data(), c.filter_buffer.size());
    wipe_secret(d.out);
    d.out_offset = 0;
}

// A failure ends the delivery: the connection is closed at once, without QUIT.
void fail_step(Connection& c, SmtpDelivery& d, const std::string& message) {
    if (!message.empty()) delivery_log(d, kLevelError, message);
    if (smtp_command_row(d.command).secret) wipe_sent_secret(c, d);
    close_socket(c);
    end_step(c, d, 1);
}

void begin_receive(Connection& c, SmtpDelivery& d) {
    d.receiving = true;
    d.receive_mark = d.fed;
    start_receive(c);
}

// Keeps a receive going while a reply is awaited. A receive that ended without bytes means the peer
// has closed (or sent only TLS records): wait for the socket's read or close event then.
void keep_receiving(Connection& c, SmtpDelivery& d) {
    if (c.receive_pending || c.send_pending) return;
    bool io_done = (c.flags & kFlagIoDone) != 0;
    bool readable = c.network_events.ok(kNetRead, kNetReadIndex);
    if (!io_done && !readable) return;
    if (io_done && !readable && d.receiving && d.fed == d.receive_mark) {
        d.receiving = false;
        return;
    }
    begin_receive(c, d);
}

void send_command(Connection& c, SmtpDelivery& d) {
    const SmtpCommandRow& row = smtp_command_row(d.command);
    set_state(c, d, d.command == SmtpCommand::kQuit ? SmtpState::kQuitting : SmtpState::kExchanging);
    d.receiving = false;
    if (!row.line) {  // the greeting: nothing to send, only a reply to read
        begin_receive(c, d);
        return;
    }
    if (c.socket == platform::kInvalidSocket || !c.socket_active) {
        if (d.command == SmtpCommand::kQuit) {
            end_step(c, d, 0);  // nothing to leave
            return;
        }
        fail_step(c, d, "ERROR: Not connected to the mail server");
        return;
    }
    if (row.secret) {
        // The built line is wiped; only the outgoing buffer keeps it until its reply.
        std::string line = row.line(d);
        d.out.reserve(line.size() + 2);  // the line end must not move it unwiped
        d.out.assign(line);
        wipe_secret(line);
    } else {
        d.out = row.line(d);
    }
    if (!row.raw) d.out += "\r\n";
    d.out_offset = 0;
    if (start_send(c) != 0) raise_flag(c, kFlagIoDone);
}

// The server has accepted STARTTLS: from here on every byte goes through TLS, and the client
// greets again before anything else (RFC 3207 forgets what was announced in clear).
void start_tls(Connection& c, SmtpDelivery& d) {
    // A read-ahead still waiting is started again through TLS.
    c.receive_pending = false;
    c.read_ahead = false;
    if (set_security(c, kSecurityTls) != 0 || !c.filter) {
        fail_step(c, d, "ERROR: TLS is not available for the mail connection");
        return;
    }
    d.tls = true;
    d.caps = SmtpCapabilities();
    if (c.filter->start() != 0) {
        fail_step(c, d, with_filter_cause(c, "ERROR: The TLS handshake with the mail server failed"));
        return;
    }
    d.reader.reset();
    d.command = SmtpCommand::kEhlo;
    // EHLO waits inside the channel until the handshake is done.
    send_command(c, d);
}

void log_through_delivery(void* user, const char* text, int level, int) {
    delivery_log(*static_cast<const SmtpDelivery*>(user), level, text);
}

// Acts on one complete reply. True when the step goes on waiting for another reply.
bool handle_reply(Connection& c, SmtpDelivery& d, const ServerReply& reply) {
    const SmtpCommandRow& row = smtp_command_row(d.command);
    // The first reply through TLS: tell the user what the handshake settled.
    if (d.tls && !d.tls_reported && c.filter && c.filter->describe(log_through_delivery, &d) == 0)
        d.tls_reported = true;
    if (row.secret) wipe_sent_secret(c, d);
    for (const std::string& line : reply.lines) delivery_log(d, kLevelInfo, printable_line(line));
    SmtpAction action = row.on_reply(d, reply);
    switch (action.kind) {
        case SmtpAction::kSend:
            d.command = action.next;
            send_command(c, d);
            return false;
        case SmtpAction::kStartTls:
            start_tls(c, d);
            return false;
        case SmtpAction::kFinish:
            if (action.result != 0) {
                fail_step(c, d, action.error ? action.error : "");
            } else {
                end_step(c, d, 0);
            }
            return false;
    }
    return false;
}

std::string tls_failure_message(const Connection& c) {
    bool during_handshake = c.filter && !c.filter->established();
    return with_filter_cause(c, during_handshake ? "ERROR: The TLS handshake with the mail server failed"
                                                 : "ERROR: TLS failure on the mail connection");
}

void on_idle(Connection&, SmtpDelivery&) {}

void on_connecting(Connection& c, SmtpDelivery& d) {
    if (c.network_events.ok(kNetWrite, kNetWriteIndex)) {
        uint32_t port = 0;
        local_address(c, d.local_address, port);
        register_events(c, kNetRead | kNetClose);
        d.command = SmtpCommand::kGreeting;
        if (d.implicit_tls) {
            if (set_security(c, kSecurityTls) != 0 || !c.filter) {
                fail_step(c, d, "ERROR: TLS is not available for the mail connection");
                return;
            }
            d.tls = true;
            if (c.filter->start() != 0) {
                fail_step(c, d, tls_failure_message(c));
                return;
            }
            start_send(c);  // the client's first handshake record
        }
        send_command(c, d);  // the greeting: start reading
        return;
    }
    bool connect_ok = c.network_events.ok(kNetConnect, kNetConnectIndex);
    if (connect_ok && !(c.flags & (kFlagTimedOut | kFlagAbort))) return;
    if (!connect_ok && c.flags == 0 && c.network_events.events == 0) return;
    int error = c.network_events.errors[kNetConnectIndex];
    std::string message = "ERROR: Could not establish tcp connection to the mail server";
    if (error != 0) {
        message += " (" + platform::socket_error_text(error) + ")";
    } else if (c.flags & kFlagTimedOut) {
        message += " (no answer within the reply timeout of " + std::to_string(d.timeout_seconds) + " s)";
    }
    fail_step(c, d, message);
}

// Every wake-up while a reply is awaited.
void on_exchanging(Connection& c, SmtpDelivery& d) {
    if (c.filter && c.filter->error()) {
        fail_step(c, d, tls_failure_message(c));
        return;
    }
    // A reply while the command is still going out waits until it has gone (or time runs out).
    if (c.send_pending && !(c.flags & kFlagTimedOut)) return;
    if (d.reader.error() != ReplyError::kNone) {
        fail_step(c, d,
                  std::string("ERROR: Unreadable reply from the mail server: ") +
                      reply_error_name(d.reader.error()));
        return;
    }
    ServerReply reply;
    while (d.reader.take(reply) == 1) {
        if (!handle_reply(c, d, reply)) return;
    }
    if (c.network_events.has(kNetClose) || c.socket == platform::kInvalidSocket) {
        bool cut = d.reader.finish() != 0;
        fail_step(c, d,
                  cut ? "ERROR: The mail server's reply was cut off"
                      : "ERROR: The mail server closed the connection");
        return;
    }
    if (c.flags & kFlagTimedOut) {
        fail_step(c, d,
                  "ERROR: No answer from the mail server within the reply timeout (" +
                      std::to_string(d.timeout_seconds) + " s)");
        return;
    }
    keep_receiving(c, d);
}

// QUIT has gone: the next notification closes the connection; a reply, if any, is only shown.
void on_quitting(Connection& c, SmtpDelivery& d) {
    if (c.send_pending && !(c.flags & kFlagTimedOut)) return;
    ServerReply reply;
    while (d.reader.take(reply) == 1)
        for (const std::string& line : reply.lines) delivery_log(d, kLevelInfo, printable_line(line));
    close_socket(c);
    end_step(c, d, 0);
}

void begin_connect(Connection& c, SmtpDelivery& d) {
    d.reader.reset();
    d.fed = d.receive_mark = 0;
    d.receiving = false;
    d.tls = false;
    d.tls_reported = false;
    d.caps = SmtpCapabilities();
    d.local_address.clear();
    set_security_plain(c);
    c.host_text = d.host;
    c.port = d.port;
    if (d.host.empty() || resolve_host(c) != 0) {
        fail_step(c, d, "ERROR: Could not resolve mail server address");
        return;
    }
    create_socket(c);
    int r = connect_socket(c);
    if (r != 0) {
        close_socket(c);
        fail_step(
            c, d,
            r == platform::kConnectRefused ? "ERROR: Could not connect to mail server: connection was refused"
            : r == platform::kConnectTimedOut
                ? "ERROR: Could not connect to mail server: connection timed out"
            : r == platform::kConnectFailed ? "ERROR: Could not connect to mail server: connection failed"
                                            : "ERROR: Could not connect to mail server");
        return;
    }
    register_events(c, kNetWrite | kNetConnect);
    set_state(c, d, SmtpState::kConnecting);
}

using StateHandler = void (*)(Connection& c, SmtpDelivery& d);
constexpr StateHandler kStateHandlers[] = {on_idle, on_connecting, on_exchanging, on_quitting};
static_assert(sizeof kStateHandlers / sizeof kStateHandlers[0] == static_cast<size_t>(SmtpState::kCount),
              "one handler per state");

}  // namespace

const char* smtp_state_name(SmtpState state) {
    int i = static_cast<int>(state);
    return i >= 0 && i < static_cast<int>(SmtpState::kCount) ? kStateNames[i] : "unknown";
}

void delivery_log(const SmtpDelivery& d, int level, const std::string& text) {
    if (d.log) {
        d.log(d.log_user, text.c_str(), level, 1);
    } else {
        output(text, level, 1);
    }
}

void smtp_step(Connection& c) {
    SmtpDelivery& d = delivery_of(c);
    if (c.flags & kFlagPosted) {
        c.timeout_seconds = d.timeout_seconds;
        c.idle_seconds = 0;
        d.command = d.first;
        if (d.command == SmtpCommand::kGreeting) {
            begin_connect(c, d);
        } else {
            send_command(c, d);
        }
        return;
    }
    kStateHandlers[static_cast<int>(state_of(c))](c, d);
}

int smtp_receive(Connection& c, const uint8_t* data, size_t n) {
    if (n == 0 || !c.step_state.context) return 0;
    SmtpDelivery& d = delivery_of(c);
    d.fed += n;
    // A reader that has failed takes nothing more; the step reports it.
    return d.reader.feed(std::string_view(reinterpret_cast<const char*>(data), n)) == 0 ? 0 : 1;
}

int smtp_send(Connection& c, uint8_t* buffer, size_t* length, size_t capacity) {
    *length = 0;
    if (!c.step_state.context) return 1;
    SmtpDelivery& d = delivery_of(c);
    size_t n = std::min(capacity, d.out.size() - std::min(d.out_offset, d.out.size()));
    if (n == 0) return 1;
    std::memcpy(buffer, d.out.data() + d.out_offset, n);
    d.out_offset += n;
    *length = n;
    return 0;
}

}  // namespace orvane
