// The SMTP engine: sending a command or the message, reading replies, the switch to TLS, QUIT, and
// the outcomes of a cut, a close or a silent server, all on bytes.
#include "client/transfer/smtp/smtp_client.h"

#include <cerrno>
#include <utility>

#include "common/log.h"
#include "common/secret.h"
#include "platform/socket.h"

namespace orvane {

namespace {

constexpr const char* kStateNames[] = {"idle", "connecting", "exchanging", "quitting"};
static_assert(sizeof kStateNames / sizeof kStateNames[0] == static_cast<size_t>(SmtpState::kCount),
              "one name per state");

}  // namespace

const char* smtp_state_name(SmtpState state) {
    int i = static_cast<int>(state);
    return i >= 0 && i < static_cast<int>(SmtpState::kCount) ? kStateNames[i] : "unknown";
}

void delivery_log(const SmtpDelivery& d, int level, const std::string& text) {
    output_to(d.log, d.log_user, text, level);
}

namespace {

void log_reply(const SmtpDelivery& d, const ServerReply& reply) {
    for (const std::string& line : reply.lines) delivery_log(d, kLevelInfo, printable_line(line));
}

}  // namespace

// The one place the state changes.
void SmtpEngine::set_state(SmtpState state) {
    SmtpState old = state_;
    state_ = state;
    if (d_.trace && old != state)
        delivery_log(d_, kLevelInfo,
                     std::string("SMTP state: ") + smtp_state_name(old) + " -> " + smtp_state_name(state));
}

void SmtpEngine::start(SmtpCommand first) {
    outcome_ = LineNext();
    closed_ = late_ = overflowed_ = tls_due_ = tls_asked_ = false;
    d_.command = first;
    if (first != SmtpCommand::kGreeting) return;  // started() sends it
    // A new connection: nothing of the last one counts.
    d_.channel.reset();
    d_.tls = false;
    d_.caps = SmtpCapabilities();
    d_.local_address.clear();
    if (d_.host.empty()) {
        fail(FailureKind::kLocal, "ERROR: Could not resolve mail server address");
        return;
    }
    set_state(SmtpState::kConnecting);
}

void SmtpEngine::started(bool connection_up) {
    if (outcome_.kind == LineNext::kFinish || d_.command == SmtpCommand::kGreeting) return;
    set_state(d_.command == SmtpCommand::kQuit ? SmtpState::kQuitting : SmtpState::kExchanging);
    if (!connection_up) {
        if (d_.command == SmtpCommand::kQuit) {
            finish(0, false);  // nothing to leave
        } else {
            fail(FailureKind::kLocal, "ERROR: Not connected to the mail server");
        }
        return;
    }
    send_command();
}

void SmtpEngine::connected(const std::string& local_address, uint32_t) {
    d_.local_address = local_address;
    if (d_.implicit_tls) {  // TLS from the first byte; the greeting comes through it
        after_tls_ = SmtpCommand::kGreeting;
        tls_due_ = true;
        return;
    }
    d_.command = SmtpCommand::kGreeting;
    send_command();
}

void SmtpEngine::connect_failed(ConnectError what, int error) {
    if (what == ConnectError::kResolve) {
        fail(FailureKind::kLocal, "ERROR: Could not resolve mail server address");
    } else if (what == ConnectError::kStart) {
        fail(error == ETIMEDOUT ? FailureKind::kTimeout : FailureKind::kLocal,
             error == ECONNREFUSED ? "ERROR: Could not connect to mail server: connection was refused"
             : error == ETIMEDOUT  ? "ERROR: Could not connect to mail server: connection timed out"
                                   : "ERROR: Could not connect to mail server: connection failed");
    } else {
        std::string message = "ERROR: Could not establish tcp connection to the mail server";
        if (error != 0) message += " (" + platform::socket_error_text(error) + ")";
        fail(FailureKind::kLocal, message);
    }
}

// A failed switch is a local matter; TLS that breaks later (a handshake the server cannot finish,
// a bad record) is the server's doing, and after QUIT it no longer matters.
void SmtpEngine::tls_failed(TlsError what, const std::string& cause) {
    if (tls_asked_) {
        fail(FailureKind::kLocal, what == TlsError::kUnavailable
                                      ? "ERROR: TLS is not available for the mail connection"
                                      : "ERROR: The TLS handshake with the mail server failed" + cause);
        return;
    }
    if (state_ != SmtpState::kExchanging) return;
    fail(FailureKind::kProtocol,
         (what == TlsError::kBroken ? "ERROR: TLS failure on the mail connection"
                                    : "ERROR: The TLS handshake with the mail server failed") +
             cause);
}

// From here on every byte goes through TLS, and the client greets again before anything else
// (RFC 3207 forgets what was announced in clear).
void SmtpEngine::tls_on() {
    tls_asked_ = false;
    d_.tls = true;
    d_.caps = SmtpCapabilities();
    d_.channel.reset();
    d_.command = after_tls_;
    send_command();
}

// The single failure point: the connection is closed at once, without QUIT.
void SmtpEngine::fail(FailureKind kind, const std::string& message) {
    if (outcome_.kind == LineNext::kFinish) return;
    if (!message.empty()) delivery_log(d_, kLevelError, message);
    d_.failure.set(kind, message);
    if (smtp_command_row(d_.command).secret) secret_gone_ = true;
    finish(1, true);
}

void SmtpEngine::finish(int result, bool close) {
    tls_due_ = tls_asked_ = false;
    set_state(SmtpState::kIdle);
    outcome_ = LineNext{LineNext::kFinish, result, close};
}

bool SmtpEngine::sent_secret() {
    return std::exchange(secret_gone_, false);
}

void SmtpEngine::receive(std::string_view bytes) {
    // A reader that has failed takes nothing more; next() reports it.
    d_.channel.receive(bytes);
}

void SmtpEngine::send_command() {
    const SmtpCommandRow& row = smtp_command_row(d_.command);
    set_state(d_.command == SmtpCommand::kQuit ? SmtpState::kQuitting : SmtpState::kExchanging);
    if (!row.line) return;  // the greeting: nothing to send, only a reply to read
    std::string line = row.line(d_);
    int refused = 0;
    if (row.raw) {
        d_.channel.send_raw(line);
    } else {
        refused = d_.channel.send_line(line);
    }
    if (row.secret) wipe_secret(line);
    if (refused != 0)
        fail(FailureKind::kLocal, std::string("ERROR: The ") + row.name +
                                      " line cannot be sent: it is too long or holds a line break or NUL");
}

void SmtpEngine::handle_reply(const ServerReply& reply) {
    const SmtpCommandRow& row = smtp_command_row(d_.command);
    if (row.secret) secret_gone_ = true;
    log_reply(d_, reply);
    SmtpAction action = row.on_reply(d_, reply);
    switch (action.kind) {
        case SmtpAction::kSend:
            d_.command = action.next;
            send_command();
            return;
        case SmtpAction::kStartTls:
            after_tls_ = SmtpCommand::kEhlo;
            tls_due_ = true;
            return;
        case SmtpAction::kFinish:
            if (action.result != 0) {
                fail(action.failure, action.error ? action.error : "");
            } else {
                finish(0, false);
            }
            return;
    }
}

LineNext SmtpEngine::ask_tls() {
    tls_due_ = false;
    tls_asked_ = true;
    return LineNext{LineNext::kStartTls};
}

LineNext SmtpEngine::next() {
    bool late = std::exchange(late_, false);
    if (outcome_.kind == LineNext::kFinish) return outcome_;
    if (tls_asked_) tls_on();  // no tls_failed() came: the switch is made
    if (tls_due_) return ask_tls();
    if (state_ == SmtpState::kConnecting && late) {
        fail(FailureKind::kTimeout,
             "ERROR: Could not establish tcp connection to the mail server (no answer within the reply "
             "timeout of " +
                 std::to_string(d_.timeout_seconds) + " s)");
        return outcome_;
    }
    // A reply while the command is still going out waits until it has gone.
    if (state_ == SmtpState::kIdle || state_ == SmtpState::kConnecting || d_.channel.output_pending())
        return outcome_;
    ServerReply reply;
    if (state_ == SmtpState::kQuitting) {  // QUIT has gone: a reply, if any, is only shown
        while (d_.channel.next(reply) == 1) log_reply(d_, reply);
        finish(0, true);
        return outcome_;
    }
    // A server cannot grow the connection's queue past its limit; what it refused is lost.
    ReplyError error = overflowed_ ? ReplyError::kTooLarge : d_.channel.error();
    if (error != ReplyError::kNone) {
        fail(FailureKind::kProtocol,
             std::string("ERROR: Unreadable reply from the mail server: ") + reply_error_name(error));
        return outcome_;
    }
    if (d_.channel.next(reply) == 1) {
        handle_reply(reply);
        return tls_due_ ? ask_tls() : outcome_;
    }
    if (closed_) {
        bool cut = d_.channel.finish() != 0;
        if (cut) {
            fail(FailureKind::kProtocol, "ERROR: The mail server's reply was cut off");
        } else {
            fail(FailureKind::kRemote, "ERROR: The mail server closed the connection");
        }
        return outcome_;
    }
    if (late) {
        fail(FailureKind::kTimeout, "ERROR: No answer from the mail server within the reply timeout (" +
                                        std::to_string(d_.timeout_seconds) + " s)");
    }
    return outcome_;
}

}  // namespace orvane
