// The SMTP engine: sending a command or the message, reading replies, the switch to TLS, QUIT, and
// the outcomes of a cut, a close or a silent server, all on bytes.
#include "client/transfer/smtp/smtp_client.h"

#include <utility>

#include "common/log.h"
#include "common/secret.h"

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
    if (d.log) {
        d.log(d.log_user, text.c_str(), level, 1);
    } else {
        output(text, level, 1);
    }
}

// The one place the state changes.
void SmtpEngine::set_state(SmtpState state) {
    SmtpState old = state_;
    state_ = state;
    if (d_.trace && old != state)
        delivery_log(d_, kLevelInfo,
                     std::string("SMTP state: ") + smtp_state_name(old) + " -> " + smtp_state_name(state));
}

void SmtpEngine::start(SmtpCommand first, bool open) {
    outcome_ = LineNext();
    closed_ = late_ = tls_due_ = false;
    d_.command = first;
    if (first == SmtpCommand::kGreeting) {  // a new connection: nothing of the last one counts
        d_.channel.reset();
        d_.tls = false;
        d_.tls_reported = false;
        d_.caps = SmtpCapabilities();
        d_.local_address.clear();
        return;
    }
    set_state(first == SmtpCommand::kQuit ? SmtpState::kQuitting : SmtpState::kExchanging);
    if (!open) {
        if (first == SmtpCommand::kQuit) {
            finish(0, false);  // nothing to leave
        } else {
            fail(FailureKind::kLocal, "ERROR: Not connected to the mail server");
        }
        return;
    }
    send_command();
}

void SmtpEngine::connecting() {
    set_state(SmtpState::kConnecting);
}

void SmtpEngine::connected(const std::string& local_address, bool tls) {
    d_.local_address = local_address;
    d_.tls = tls;
    d_.command = SmtpCommand::kGreeting;
    send_command();
}

// From here on every byte goes through TLS, and the client greets again before anything else
// (RFC 3207 forgets what was announced in clear).
void SmtpEngine::tls_started() {
    tls_due_ = false;
    d_.tls = true;
    d_.caps = SmtpCapabilities();
    d_.channel.reset();
    d_.command = SmtpCommand::kEhlo;
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

void SmtpEngine::stream_failed(const std::string& message) {
    if (state_ == SmtpState::kExchanging) fail(FailureKind::kProtocol, message);
}

void SmtpEngine::finish(int result, bool close) {
    tls_due_ = false;
    set_state(SmtpState::kIdle);
    outcome_ = LineNext{LineNext::kFinish, result, close};
}

bool SmtpEngine::take_secret_gone() {
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
    // The first reply through TLS: tell the user what the handshake settled.
    if (d_.tls && !d_.tls_reported && tls_report_.function &&
        tls_report_.function(tls_report_.context, d_) == 0)
        d_.tls_reported = true;
    if (row.secret) secret_gone_ = true;
    for (const std::string& line : reply.lines) delivery_log(d_, kLevelInfo, printable_line(line));
    SmtpAction action = row.on_reply(d_, reply);
    switch (action.kind) {
        case SmtpAction::kSend:
            d_.command = action.next;
            send_command();
            return;
        case SmtpAction::kStartTls:
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

LineNext SmtpEngine::next() {
    bool late = std::exchange(late_, false);
    if (outcome_.kind == LineNext::kFinish) return outcome_;
    if (tls_due_) return LineNext{LineNext::kStartTls};
    // A reply while the command is still going out waits until it has gone.
    if (state_ == SmtpState::kIdle || state_ == SmtpState::kConnecting || d_.channel.output_pending())
        return outcome_;
    ServerReply reply;
    if (state_ == SmtpState::kQuitting) {  // QUIT has gone: a reply, if any, is only shown
        while (d_.channel.next(reply) == 1)
            for (const std::string& line : reply.lines) delivery_log(d_, kLevelInfo, printable_line(line));
        finish(0, true);
        return outcome_;
    }
    if (d_.channel.error() != ReplyError::kNone) {
        fail(FailureKind::kProtocol, std::string("ERROR: Unreadable reply from the mail server: ") +
                                         reply_error_name(d_.channel.error()));
        return outcome_;
    }
    if (d_.channel.next(reply) == 1) {
        handle_reply(reply);
        return tls_due_ ? LineNext{LineNext::kStartTls} : outcome_;
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
