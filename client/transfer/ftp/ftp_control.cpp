// The control step's machinery: sending a command line, reading replies, noticing a closed connection,
// the TCP connect with its greeting, and the switch to TLS before login.
#include <openssl/crypto.h>

#include <cstdio>
#include <memory>

#include "client/transfer/ftp/ftp_steps.h"
#include "client/transfer/session/request_dispatch.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/system.h"

namespace orvane {

namespace {

// How long a TLS-kind connection waits silently for the greeting before it takes the server for an
// implicit-TLS one (which waits for the client's handshake and greets only through TLS). Long
// enough for a slow explicit-FTPS server's greeting; port 990 is implicit TLS from the start.
constexpr int kImplicitTlsProbeSeconds = 10;
constexpr uint32_t kImplicitTlsPort = 990;

constexpr const char* kControlStateNames[] = {"idle", "connecting", "exchanging", "resolving"};
static_assert(sizeof kControlStateNames / sizeof kControlStateNames[0] ==
                  static_cast<size_t>(ControlState::kCount),
              "one name per control state");

void set_state(Connection& c, ControlState state) {
    c.step_state.state = static_cast<int>(state);
}
ControlState state_of(const Connection& c) {
    int v = c.step_state.state;
    return v >= 0 && v < static_cast<int>(ControlState::kCount) ? static_cast<ControlState>(v)
                                                                : ControlState::kIdle;
}

void log_text(const Session& s, int level, const std::string& text) {
    session_log(s, level, text.c_str());
}

void fail_step(Connection& c, const Session& s, const std::string& message) {
    if (!message.empty()) log_text(s, kLevelError, message);
    set_state(c, ControlState::kIdle);
    finish_step(c, 1);
}

void end_step(Connection& c, int result) {
    set_state(c, ControlState::kIdle);
    finish_step(c, result);
}

// The server did not answer in time: the message (once per request), and the connection goes,
// since a late reply would be taken for the answer to the next command.
void fail_timed_out(Connection& c, Session& s) {
    report_timeout(s);
    close_socket(c);
    fail_step(c, s, "");
}

bool is_transfer_command(FtpCommand command) {
    return command == FtpCommand::kList || command == FtpCommand::kNlst || command == FtpCommand::kRetr ||
           command == FtpCommand::kStor;
}

void reset_reading(FtpControl& fc) {
    fc.reader.reset();
    fc.fed = 0;
    fc.receive_mark = 0;
    fc.receiving = false;
}

void begin_receive(Connection& c, FtpControl& fc) {
    fc.receiving = true;
    fc.receive_mark = fc.fed;
    start_receive(c);
}

// Moves the bytes the receive handler queued into the reply reader. 0, or the reader's error.
int drain_into_reader(Connection& c, FtpControl& fc) {
    ByteQueue& q = c.step_state.receive_queue;
    if (q.empty()) return 0;
    std::string bytes = q.contents();
    q.clear();
    fc.fed += bytes.size();
    return fc.reader.feed(bytes);
}

// Keeps a receive going while a reply is awaited. A receive that ended without bytes means the
// peer has closed (or sent only TLS records): wait for the socket's read or close event then.
void keep_receiving(Connection& c, FtpControl& fc) {
    if (c.receive_pending || c.send_pending) return;
    bool io_done = (c.flags & kFlagIoDone) != 0;
    bool readable = c.network_events.ok(kNetRead, kNetReadIndex);
    if (!io_done && !readable) return;
    if (io_done && !readable && fc.receiving && fc.fed == fc.receive_mark) {
        fc.receiving = false;
        return;
    }
    begin_receive(c, fc);
}

void log_reply(const Session& s, const ServerReply& reply) {
    for (const std::string& line : reply.lines) log_text(s, kLevelResponse, line);
}

bool tls_failed(const Connection& c) {
    return c.security_mode == kSecurityTls && c.filter && c.filter->error();
}

void send_command(Connection& c, Session& s, FtpControl& fc);

void log_through_session(void* user, const char* text, int level, int) {
    session_log(*static_cast<const Session*>(user), level, text);
}

// The first reply behind a completed control handshake: tell the user what TLS settled.
void report_tls(Connection& c, Session& s, FtpControl& fc) {
    if (fc.tls_reported || c.security_mode != kSecurityTls || !c.filter) return;
    if (c.filter->describe(log_through_session, &s) == 0) fc.tls_reported = true;
}

void end_probe(Connection& c, FtpControl& fc) {
    if (!fc.probing) return;
    fc.probing = false;
    c.timeout_seconds = fc.saved_timeout;
    c.idle_seconds = 0;
}

// The TLS kinds wait only so long for a plain greeting; see kImplicitTlsProbeSeconds. A session
// timeout that is shorter still ends the wait as a timeout.
void start_probe(Connection& c, Session& s, FtpControl& fc) {
    if (s.protocol == kProtocolFtp || fc.probing) return;
    fc.probing = true;
    fc.saved_timeout = c.timeout_seconds;
    bool shorter = c.timeout_seconds > 0 && c.timeout_seconds < kImplicitTlsProbeSeconds;
    c.timeout_seconds = shorter ? c.timeout_seconds : kImplicitTlsProbeSeconds;
    c.idle_seconds = 0;
}

// The server speaks TLS (its first bytes were not a reply, or it stayed silent): the login step
// takes the connection over, with whatever has been received.
void take_implicit_tls(Connection& c, Session& s, FtpControl& fc) {
    end_probe(c, fc);
    c.receive_pending = false;  // a read still waiting is started again through TLS
    c.read_ahead = false;
    s.implicit_tls = 1;
    end_step(c, 0);
}

// Acts on one complete reply. True when the step goes on waiting for another reply.
bool handle_reply(Connection& c, Session& s, FtpControl& fc, ServerReply& reply) {
    // The password has left: its copy in the send buffer goes too.
    if (fc.command == FtpCommand::kPass) OPENSSL_cleanse(c.send_buffer.data(), c.send_buffer.size());
    report_tls(c, s, fc);
    log_reply(s, reply);
    fc.reply = reply;
    ReplyAction action = command_row(fc.command).on_reply(s, fc, reply);
    switch (action.kind) {
        case ReplyAction::kWait:
            return true;
        case ReplyAction::kSend:
            fc.command = action.next;
            send_command(c, s, fc);
            return false;
        case ReplyAction::kFinish:
            end_step(c, action.result);
            return false;
    }
    return false;
}

// QUIT waits for nothing: what has arrived is logged, the socket is closed.
void finish_quit(Connection& c, Session& s, FtpControl& fc) {
    drain_into_reader(c, fc);
    ServerReply reply;
    while (fc.reader.take(reply) == 1) log_reply(s, reply);
    close_socket(c);
    end_step(c, 0);
}

// Every wake-up while a reply is awaited.
void on_exchanging(Connection& c) {
    Session& s = step_session(c);
    FtpControl& fc = running_ftp_state(s).control;
    if (c.send_pending) {
        // A server that stops reading never takes the command either.
        if (c.flags & kFlagTimedOut) fail_timed_out(c, s);
        return;
    }
    if (fc.command == FtpCommand::kQuit) {
        if (c.flags & kFlagIoDone || c.network_events.has(kNetClose)) finish_quit(c, s, fc);
        return;
    }
    // Implicit TLS: the server's first bytes are not an FTP reply; TLS takes them from here.
    if (fc.command == FtpCommand::kGreeting && fc.fed == 0 && c.step_state.receive_queue.size() >= 3) {
        char head[3];
        c.step_state.receive_queue.peek(head, 3);
        auto digit = [](char ch) { return ch >= '0' && ch <= '9'; };
        if (!(digit(head[0]) && digit(head[1]) && digit(head[2]))) {
            take_implicit_tls(c, s, fc);
            return;
        }
    }
    if (fc.probing) {
        bool silent = fc.fed == 0 && c.step_state.receive_queue.empty() && !c.network_events.has(kNetClose);
        bool session_timeout = fc.saved_timeout > 0 && fc.saved_timeout < kImplicitTlsProbeSeconds;
        bool probe_expired = (c.flags & kFlagTimedOut) && !session_timeout;
        if (silent && probe_expired) {
            take_implicit_tls(c, s, fc);
            return;
        }
        if (!silent) end_probe(c, fc);
        if (probe_expired) c.flags &= ~kFlagTimedOut;  // the probe's own time, not the session's
    }
    // The data step timed out (and said so): the reply to the transfer command will not be waited for.
    if ((c.flags & kFlagAbort) && is_transfer_command(fc.command)) {
        close_socket(c);
        fail_step(c, s, "");
        return;
    }
    // A hostile server cannot grow the receive queue past its limit; what it refused is lost.
    if (c.step_state.receive_queue.overflowed()) {
        close_socket(c);
        fail_step(c, s,
                  std::string("ERROR: Unreadable server reply: ") + reply_error_name(ReplyError::kTooLarge));
        return;
    }
    if (int e = drain_into_reader(c, fc); e != 0) {
        fail_step(c, s,
                  std::string("ERROR: Unreadable server reply: ") + reply_error_name(fc.reader.error()));
        return;
    }
    ServerReply reply;
    while (fc.reader.take(reply) == 1) {
        if (!handle_reply(c, s, fc, reply)) return;
    }
    // A TLS failure first: a server that closes after an alert (it wants a client certificate, say)
    // has said why, and the alert's reason is the message.
    if (tls_failed(c)) {
        fail_step(c, s, with_filter_cause(c, "ERROR: TLS failure on the control connection"));
        return;
    }
    if (c.network_events.has(kNetClose) || c.socket == platform::kInvalidSocket) {
        // Bytes that came before the close are read first: the rest of a reply, or a TLS alert
        // that says why the server gave up.
        if (c.network_events.has(kNetRead) && c.socket != platform::kInvalidSocket && !c.receive_pending) {
            begin_receive(c, fc);
            return;
        }
        bool cut = fc.reader.finish() != 0;
        fail_step(c, s,
                  cut ? "ERROR: The server's reply was cut off" : "ERROR: The server closed the connection");
        return;
    }
    // While the data connection moves a file, the wait for the final reply is not idle: the data
    // step keeps its own time.
    if ((c.flags & kFlagTimedOut) &&
        !(is_transfer_command(fc.command) && running_ftp_state(s).data_running.load())) {
        fail_timed_out(c, s);
        return;
    }
    keep_receiving(c, fc);
}

void send_command(Connection& c, Session& s, FtpControl& fc) {
    const CommandRow& row = command_row(fc.command);
    set_state(c, ControlState::kExchanging);
    fc.receiving = false;
    fc.preliminary = false;
    if (!row.line) {  // the greeting: nothing to send, only a reply to read
        begin_receive(c, fc);
        return;
    }
    if (c.socket == platform::kInvalidSocket || !c.socket_active) {
        if (fc.command == FtpCommand::kQuit) {
            end_step(c, 0);  // nothing to leave
            return;
        }
        fail_step(c, s, "ERROR: Not connected");
        return;
    }
    // Until the server confirms it, the type is unknown (see on_type); a command of the user's own
    // or a new login may change it.
    if (fc.command == FtpCommand::kTypeA || fc.command == FtpCommand::kTypeI ||
        fc.command == FtpCommand::kCustom || fc.command == FtpCommand::kUser)
        fc.type = FtpCommand::kNone;
    if (fc.command == FtpCommand::kRetr) {
        fc.announced = false;
        fc.announced_size = 0;
    }
    std::string line = row.line(s);
    if (line.empty()) {
        fail_step(c, s, std::string("ERROR: No usable argument for ") + row.name);
        return;
    }
    // The password never reaches the screen or a log file.
    if (s.log_enabled == 1)
        log_text(s, kLevelCommand, fc.command == FtpCommand::kPass ? "PASS ********" : line);
    ByteQueue& q = c.step_state.send_queue;
    q.clear();
    int refused = q.append(line) | q.append("\r\n", 2);
    if (fc.command == FtpCommand::kPass && !line.empty()) OPENSSL_cleanse(line.data(), line.size());
    if (refused) {
        fail_step(c, s, "ERROR: Command too long");
        return;
    }
    if (start_send(c) != 0) raise_flag(c, kFlagIoDone);
}

// ---- connect ----

void fail_connect(Connection& c, Session& s, int error) {
    close_socket(c);
    std::string message = "ERROR: Could not connect to " + s.host + ":" + std::to_string(s.port);
    if (error != 0) message += " (" + platform::error_text(error) + ")";
    fail_step(c, s, message);
}

// The address is known: the TCP connect.
void connect_now(Connection& c, Session& s) {
    c.step_state.receive_queue.clear();
    int error = 0;
    if (start_connect(c, error) != 0) {
        fail_connect(c, s, error);
        return;
    }
    set_state(c, ControlState::kConnecting);
}

void begin_connect(Connection& c, Session& s, FtpControl& fc) {
    end_probe(c, fc);
    reset_reading(fc);
    fc.greeting = ServerReply();
    fc.type = FtpCommand::kNone;  // a new server session starts in its default type
    fc.command = FtpCommand::kGreeting;
    set_security_plain(c);
    c.host_text = s.host;
    c.port = s.port;
    // The lookup runs on a thread of its own: a slow resolver must not stall this thread's other
    // connections.
    int r = start_resolve(c);
    if (r == 1) {
        fail_step(c, s, "ERROR: Could not resolve host " + s.host);
        return;
    }
    if (r == 2) {
        set_state(c, ControlState::kResolving);
        return;
    }
    connect_now(c, s);
}

void on_resolving(Connection& c) {
    Session& s = step_session(c);
    if (c.flags & kFlagResolved) {
        int r = finish_resolve(c);
        if (r == 0) {
            connect_now(c, s);
            return;
        }
        if (r == 1) {
            fail_step(c, s, "ERROR: Could not resolve host " + s.host);
            return;
        }
    }
    if (c.flags & kFlagTimedOut) fail_timed_out(c, s);
}

void on_connecting(Connection& c) {
    Session& s = step_session(c);
    FtpControl& fc = running_ftp_state(s).control;
    int error = 0;
    ConnectOutcome outcome = connect_outcome(c, error);
    if (outcome == ConnectOutcome::kConnected) {
        local_address(c, s.local_address, s.local_port);
        register_events(c, kNetRead | kNetClose);
        // Port 990 is implicit TLS: the server waits for the client's handshake.
        if (s.protocol != kProtocolFtp && s.port == kImplicitTlsPort) {
            take_implicit_tls(c, s, fc);
            return;
        }
        send_command(c, s, fc);  // the greeting: start reading
        start_probe(c, s, fc);
        return;
    }
    if (outcome == ConnectOutcome::kWaiting) return;
    if (outcome == ConnectOutcome::kTimedOut) {
        fail_timed_out(c, s);
        return;
    }
    fail_connect(c, s, error);
}

using StateHandler = void (*)(Connection& c);
void on_idle(Connection&) {}

constexpr StateHandler kStateHandlers[] = {on_idle, on_connecting, on_exchanging, on_resolving};
static_assert(sizeof kStateHandlers / sizeof kStateHandlers[0] == static_cast<size_t>(ControlState::kCount),
              "one handler per control state");

void dispatch_wake(Connection& c) {
    kStateHandlers[static_cast<int>(state_of(c))](c);
}

}  // namespace

const char* control_state_name(ControlState state) {
    int i = static_cast<int>(state);
    return i >= 0 && i < static_cast<int>(ControlState::kCount) ? kControlStateNames[i] : "unknown";
}

void report_timeout(Session& s) {
    FtpState& st = running_ftp_state(s);
    if (st.timeout_reported.exchange(true)) return;
    session_log(s, kLevelError,
                format("ERROR: The server did not answer within %d seconds", s.timeout).c_str());
}

FtpState& ftp_state(Session& s) {
    if (!s.protocol_state) s.protocol_state = std::make_shared<FtpState>();
    return *static_cast<FtpState*>(s.protocol_state.get());
}

void ftp_command_step(Connection& c) {
    if (c.flags & kFlagPosted) {
        Session& s = step_session(c);
        send_command(c, s, running_ftp_state(s).control);
        return;
    }
    dispatch_wake(c);
}

void ftp_connect_step(Connection& c) {
    if (c.flags & kFlagPosted) {
        Session& s = step_session(c);
        begin_connect(c, s, running_ftp_state(s).control);
        return;
    }
    dispatch_wake(c);
}

void ftp_login_step(Connection& c) {
    if (!(c.flags & kFlagPosted)) {
        dispatch_wake(c);
        return;
    }
    Session& s = step_session(c);
    FtpControl& fc = running_ftp_state(s).control;
    end_probe(c, fc);
    fc.command = FtpCommand::kUser;
    if (s.protocol != kProtocolFtp) {
        if (set_security_tls(c) != 0 || !c.filter) {
            fail_step(c, s, "ERROR: TLS is not available for the control connection");
            return;
        }
        fc.tls_reported = false;
        if (s.implicit_tls) {
            // The bytes already received are the server's first TLS records.
            std::string early = c.step_state.receive_queue.contents();
            c.step_state.receive_queue.clear();
            give_filter_early_input(c, reinterpret_cast<const uint8_t*>(early.data()), early.size());
        }
        if (c.filter->start() != 0) {
            fail_step(c, s,
                      with_filter_cause(c, "ERROR: The TLS handshake failed on the control connection"));
            return;
        }
        reset_reading(fc);
        if (s.implicit_tls) {
            // The server greets through TLS once the handshake is done; USER follows the greeting.
            if (!c.send_pending) start_send(c);
            fc.command = FtpCommand::kTlsGreeting;
        }
    }
    send_command(c, s, fc);
}

int post_ftp_command(Session& s, FtpCommand command, CompletionCallback continuation, int code) {
    if (!s.control) return 1;
    prepare_ftp_command(s, command);
    return post_session_step(s, *s.control, ftp_command_step, continuation, code);
}

void prepare_ftp_command(Session& s, FtpCommand command) {
    FtpState& st = ftp_state(s);
    st.control.command = command;
    st.timeout_reported = false;
}

}  // namespace orvane
