// The FTP control engine: the greeting and its implicit-TLS detection, commands checked and sent,
// replies read and handed to the command table, and every way an exchange can end.
#include "client/transfer/ftp/ftp_engine.h"

#include <string>
#include <vector>

#include "client/transfer/ftp/ftp_steps.h"
#include "common/log.h"
#include "common/secret.h"
#include "platform/system.h"

namespace orvane {

namespace {

// How long a TLS-kind connection waits silently for the greeting before it takes the server for an
// implicit-TLS one (which waits for the client's handshake and greets only through TLS). Long
// enough for a slow explicit-FTPS server's greeting; port 990 is implicit TLS from the start.
constexpr int kImplicitTlsProbeSeconds = 10;
constexpr uint32_t kImplicitTlsPort = 990;
// A command line as long as the connection's send queue holds.
constexpr size_t kMaxCommandLine = kSendQueueLimit - 2;

bool is_transfer_command(FtpCommand command) {
    return command == FtpCommand::kList || command == FtpCommand::kNlst || command == FtpCommand::kRetr ||
           command == FtpCommand::kStor || command == FtpCommand::kRetrQueued ||
           command == FtpCommand::kStorQueued || command == FtpCommand::kMlsdQueued;
}

// The commands written right behind a command's own line, so that their replies follow without a
// round trip each. The server answers them in order, and the command's reply handler reads every
// one of those replies. A verb ending in a space takes the argument.
struct LinesBehind {
    FtpCommand command;
    const char* lines[2];
};
constexpr LinesBehind kLinesBehind[] = {
    {FtpCommand::kPasvRetr, {"RETR ", nullptr}},     // a walk's download
    {FtpCommand::kPasvStor, {"STOR ", nullptr}},     // a walk's upload
    {FtpCommand::kMdtmPasvRetr, {"PASV", "RETR "}},  // a download whose time only dates the copy
    {FtpCommand::kPasvMlsd, {"MLSD ", nullptr}},     // a walk's folder
    {FtpCommand::kMlstPasvMlsd, {"PASV", "MLSD "}},  // a walk's first folder
};

std::vector<std::string> lines_behind(FtpCommand command, const std::string& argument) {
    std::vector<std::string> out;
    for (const LinesBehind& row : kLinesBehind) {
        if (row.command != command) continue;
        for (const char* verb : row.lines) {
            if (!verb) continue;
            std::string line = verb;
            if (line.back() == ' ') line += argument;
            out.push_back(std::move(line));
        }
    }
    return out;
}

bool is_digit(char ch) {
    return ch >= '0' && ch <= '9';
}

void log_reply(const Session& s, const ServerReply& reply, int level = kLevelResponse) {
    for (const std::string& line : reply.lines) session_log(s, level, line.c_str());
}

// A refused SIZE or MDTM is how a server says the file is not there yet (before a first upload):
// an answer the procedure expects, shown as information rather than in a refusal's colours.
bool is_refused_probe(const FtpControl& fc, const ServerReply& reply) {
    bool probe = fc.command == FtpCommand::kSize || fc.command == FtpCommand::kMdtm ||
                 (fc.command == FtpCommand::kMdtmPasvRetr && !fc.lead_answered);
    return probe && !reply.lines.empty() && !reply.lines.back().empty() &&
           (reply.lines.back()[0] == '4' || reply.lines.back()[0] == '5');
}

}  // namespace

FtpState::FtpState(Session& s) : engine(std::make_unique<FtpControlEngine>(s, control, session)) {
    link.engine = engine.get();
}
FtpState::~FtpState() = default;

void FtpControlEngine::prepare_connect() {
    cancels_ = cancels_handled_ = abort_replies_ = 0;
    probing_ = false;
    fc_.channel.reset();
    fc_.greeting = ServerReply();
    fc_.type = FtpCommand::kNone;  // a new server session starts in its default type
    fc_.command = FtpCommand::kGreeting;
    wipe_secret(early_);
    implicit_ = restart_reads_ = reader_failed_ = false;
    tls_error_.reset();
    decided_.reset();
    clear_events();
    phase_ = Phase::kConnecting;
}

void FtpControlEngine::prepare_login() {
    cancels_ = cancels_handled_ = abort_replies_ = 0;
    probing_ = false;
    restart_reads_ = false;
    tls_error_.reset();
    decided_.reset();
    clear_events();
    fc_.command = FtpCommand::kUser;
    phase_ = s_.protocol == kProtocolFtp ? Phase::kSend : Phase::kStartTls;
}

void FtpControlEngine::prepare_command(FtpCommand command) {
    cancels_ = cancels_handled_ = abort_replies_ = 0;
    restart_reads_ = implicit_ = false;
    decided_.reset();
    clear_events();
    fc_.command = command;
    phase_ = Phase::kSend;
}

void FtpControlEngine::receive(std::string_view bytes) {
    if (implicit_) {
        early_.append(bytes);
        return;
    }
    // Implicit TLS: the server's first bytes are not an FTP reply; TLS takes them from here.
    if (fc_.command == FtpCommand::kGreeting && fc_.channel.received() == 0 && bytes.size() >= 3 &&
        !(is_digit(bytes[0]) && is_digit(bytes[1]) && is_digit(bytes[2]))) {
        implicit_ = true;
        early_.assign(bytes);
        return;
    }
    if (fc_.channel.receive(bytes) != 0) reader_failed_ = true;
}

void FtpControlEngine::connected(const std::string& local_address, uint32_t local_port) {
    fs_.local_address = local_address;
    fs_.local_port = local_port;
    connection_up_ = true;
    phase_ = Phase::kExchanging;
    // Port 990 is implicit TLS, and so is any port the user says is: the server waits for the
    // client's handshake.
    if (s_.protocol != kProtocolFtp && (s_.port == kImplicitTlsPort || s_.implicit_tls)) {
        implicit_ = true;
        return;
    }
    phase_ = Phase::kSend;  // the greeting: start reading
    // The TLS kinds wait only so long for a plain greeting; a connection time that is shorter
    // still ends the wait as a timeout.
    probing_ = s_.protocol != kProtocolFtp;
}

void FtpControlEngine::connect_failed(ConnectError what, int error) {
    if (what == ConnectError::kResolve) {
        decided_ = fail(FailureKind::kLocal, "ERROR: Could not resolve host " + s_.host);
        return;
    }
    std::string message = "ERROR: Could not connect to " + s_.host + ":" + std::to_string(s_.port);
    if (error != 0) message += " (" + platform::error_text(error) + ")";
    decided_ = fail(FailureKind::kLocal, message, true);
}

void FtpControlEngine::tls_failed(TlsError what, const std::string& cause) {
    if (!tls_error_) {
        tls_error_ = what;
        tls_cause_ = cause;
    }
}

std::string FtpControlEngine::take_early_tls_input() {
    std::string bytes;
    bytes.swap(early_);
    return bytes;
}

bool FtpControlEngine::sent_secret() {
    bool sent = secret_sent_;
    secret_sent_ = false;
    return sent;
}

int FtpControlEngine::time_limit() const {
    return probing_ ? kImplicitTlsProbeSeconds : -1;
}

void FtpControlEngine::log(int level, const std::string& text) {
    session_log(s_, level, text.c_str());
}

bool FtpControlEngine::tracing() const {
    return s_.trace;
}

void FtpControlEngine::clear_events() {
    closed_ = timed_out_ = output_sent_ = send_stalled_ = aborted_ = overflowed_ = limit_expired_ = false;
}

LineNext FtpControlEngine::next() {
    LineNext n = step();
    clear_events();
    if (n.kind == LineNext::kFinish) phase_ = Phase::kIdle;
    return n;
}

LineNext FtpControlEngine::finish(int result, bool close) {
    probing_ = false;
    return LineNext{LineNext::kFinish, result, close};
}

LineNext FtpControlEngine::fail(FailureKind kind, const std::string& message, bool close) {
    if (!message.empty()) session_log(s_, kLevelError, message.c_str());
    s_.failure.set_from_message(kind, message);
    return finish(1, close);
}

// The server did not answer in time: the message (once per request), and the connection goes,
// since a late reply would be taken for the answer to the next command.
LineNext FtpControlEngine::fail_timed_out() {
    report_timeout(s_);
    s_.failure.set(FailureKind::kTimeout, "The server did not answer in time");
    return finish(1, true);
}

LineNext FtpControlEngine::step() {
    if (decided_) {
        LineNext n = *decided_;
        decided_.reset();
        return n;
    }
    switch (phase_) {
        case Phase::kIdle:
            return LineNext{};
        case Phase::kConnecting:
            if (cancels_ > 0) return fail(FailureKind::kUser, "ERROR: Interrupted", true);
            return timed_out_ ? fail_timed_out() : LineNext{};
        case Phase::kStartTls:
            phase_ = Phase::kAfterTls;
            return LineNext{LineNext::kStartTls};
        case Phase::kAfterTls:
            if (tls_error_ == TlsError::kUnavailable)
                return fail(FailureKind::kLocal, "ERROR: TLS is not available for the control connection");
            if (tls_error_)
                return fail(FailureKind::kRemote,
                            "ERROR: The TLS handshake failed on the control connection" + tls_cause_);
            fc_.channel.reset();
            reader_failed_ = implicit_ = false;
            // An implicit-TLS server greets through TLS once the handshake is done; USER follows.
            if (fs_.implicit_tls) fc_.command = FtpCommand::kTlsGreeting;
            return send_command();
        case Phase::kSend:
            return send_command();
        case Phase::kExchanging:
            return exchanging();
    }
    return LineNext{};
}

LineNext FtpControlEngine::send_command() {
    const CommandRow& row = command_row(fc_.command);
    phase_ = Phase::kExchanging;
    fc_.preliminary = false;
    // The greeting, and the reply to a transfer command sent with PASV: nothing to send, only a
    // reply to read (the latter may have arrived already).
    if (!row.line) return is_transfer_command(fc_.command) ? exchanging() : LineNext{};
    if (!connection_up_) {
        if (fc_.command == FtpCommand::kQuit) return finish(0);  // nothing to leave
        return fail(FailureKind::kLocal, "ERROR: Not connected");
    }
    // Until the server confirms it, the type is unknown (see on_type); a command of the user's own
    // or a new login may change it.
    if (fc_.command == FtpCommand::kTypeA || fc_.command == FtpCommand::kTypeI ||
        fc_.command == FtpCommand::kCustom || fc_.command == FtpCommand::kUser)
        fc_.type = FtpCommand::kNone;
    if (fc_.command == FtpCommand::kRetr || fc_.command == FtpCommand::kPasvRetr ||
        fc_.command == FtpCommand::kMdtmPasvRetr) {
        fc_.announced = false;
        fc_.announced_size = 0;
    }
    std::string line = row.line(s_);
    // The lines that go out behind the first in the same write; all are checked before any is sent.
    std::vector<std::string> behind = lines_behind(fc_.command, s_.argument);
    fc_.passive_answered = fc_.passive_failed = fc_.lead_answered = false;
    fc_.lead_answer.clear();
    for (const std::string& next : behind)
        if (next.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
            return fail(FailureKind::kLocal, std::string("ERROR: No usable argument for ") + row.name);
    bool secret = fc_.command == FtpCommand::kPass ||
                  (fc_.command == FtpCommand::kCustom && command_carries_secret(line));
    // A CR, LF or NUL in an argument would end the line early and smuggle in a second command.
    if (line.empty() || line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        if (secret) wipe_secret(line);
        return fail(FailureKind::kLocal, std::string("ERROR: No usable argument for ") + row.name);
    }
    // The password never reaches the screen or a log file.
    if (s_.log_enabled == 1)
        session_log(s_, kLevelCommand, secret ? (line.substr(0, 4) + " ********").c_str() : line.c_str());
    int refused = fc_.channel.send_line(line, kMaxCommandLine);
    if (secret) wipe_secret(line);
    for (size_t i = 0; !refused && i < behind.size(); ++i) {
        if (s_.log_enabled == 1) session_log(s_, kLevelCommand, behind[i].c_str());
        refused = fc_.channel.send_line(behind[i], kMaxCommandLine);
    }
    if (refused) return fail(FailureKind::kLocal, "ERROR: Command too long");
    secret_out_ = secret;
    return LineNext{};
}

// The server speaks TLS (its first bytes were not a reply, or it stayed silent): the login step
// takes the connection over, with whatever has been received.
LineNext FtpControlEngine::take_implicit_tls() {
    restart_reads_ = true;
    fs_.implicit_tls = 1;
    return finish(0);
}

// QUIT waits for nothing: what has arrived is logged, and the connection goes.
LineNext FtpControlEngine::finish_quit() {
    ServerReply reply;
    while (fc_.channel.next(reply) == 1) log_reply(s_, reply);
    return finish(0, true);
}

// Acts on one complete reply; `go_on` stays true when another reply is awaited.
LineNext FtpControlEngine::handle_reply(const ServerReply& reply, bool& go_on) {
    go_on = false;
    // The password has left: its copies in the connection's buffers go too.
    if (secret_out_) {
        secret_sent_ = true;
        secret_out_ = false;
    }
    log_reply(s_, reply, is_refused_probe(fc_, reply) ? kLevelInfo : kLevelResponse);
    fc_.reply = reply;
    ReplyAction action = command_row(fc_.command).on_reply(s_, fc_, reply);
    if (action.kind == ReplyAction::kWait) {
        go_on = true;
        return LineNext{};
    }
    if (action.kind == ReplyAction::kSend) {
        fc_.command = action.next;
        return send_command();
    }
    if (action.result == 0) return finish(0);
    s_.failure.set(FailureKind::kRemote, reply.lines.empty() ? std::string("refused") : reply.lines.back());
    return finish(action.result);
}

LineNext FtpControlEngine::exchanging() {
    // A server that stops reading never takes the command either.
    if (send_stalled_) return fail_timed_out();
    if (fc_.command == FtpCommand::kQuit) return output_sent_ || closed_ ? finish_quit() : LineNext{};
    if (cancels_ > cancels_handled_) return on_cancel();
    if (implicit_) return take_implicit_tls();
    if (probing_) {
        bool silent = fc_.channel.received() == 0 && !closed_;
        if (silent && limit_expired_) return take_implicit_tls();
        if (!silent) probing_ = false;
    }
    // The data step timed out (and said so): the reply to the transfer command will not be waited for.
    if (aborted_ && is_transfer_command(fc_.command)) {
        s_.failure.set(FailureKind::kTimeout, "The data connection gave up");
        return finish(1, true);
    }
    // A hostile server cannot grow the connection's queue past its limit; what it refused is lost.
    if (overflowed_)
        return fail(FailureKind::kProtocol,
                    std::string("ERROR: Unreadable server reply: ") + reply_error_name(ReplyError::kTooLarge),
                    true);
    if (reader_failed_)
        return fail(FailureKind::kProtocol,
                    std::string("ERROR: Unreadable server reply: ") + reply_error_name(fc_.channel.error()));
    ServerReply reply;
    while (fc_.channel.next(reply) == 1) {
        bool go_on = false;
        LineNext n = abort_replies_ > 0 ? take_abort_reply(reply, go_on) : handle_reply(reply, go_on);
        if (!go_on) return n;
    }
    // A TLS failure first: a server that closes after an alert (it wants a client certificate, say)
    // has said why, and the alert's reason is the message.
    if (tls_error_)
        return fail(FailureKind::kRemote, "ERROR: TLS failure on the control connection" + tls_cause_);
    if (closed_) {
        bool cut = fc_.channel.finish() != 0;
        return cut ? fail(FailureKind::kProtocol, "ERROR: The server's reply was cut off")
                   : fail(FailureKind::kRemote, "ERROR: The server closed the connection");
    }
    // While the data connection moves a file, the wait for the final reply is not idle: the data
    // step keeps its own time.
    if (timed_out_ && !(is_transfer_command(fc_.command) && running_ftp_state(s_).data_running.load()))
        return fail_timed_out();
    return LineNext{};
}

// A transfer gets ABOR (its data connection is closed already), and the connection stays in step
// with the server: whatever it had done, two final replies come, the transfer's own and ABOR's.
// Any other command, a second stop, or a connection still being made, ends with the connection:
// a reply that came late would be taken for the answer to the next command.
LineNext FtpControlEngine::on_cancel() {
    bool first = cancels_handled_ == 0;
    cancels_handled_ = cancels_;
    if (!first || !connection_up_ || !is_transfer_command(fc_.command))
        return fail(FailureKind::kUser, "ERROR: Interrupted", true);
    if (s_.log_enabled == 1) session_log(s_, kLevelCommand, "ABOR");
    if (fc_.channel.send_line("ABOR", kMaxCommandLine) != 0)
        return fail(FailureKind::kUser, "ERROR: Interrupted", true);
    abort_replies_ = 2;
    return LineNext{};
}

LineNext FtpControlEngine::take_abort_reply(const ServerReply& reply, bool& go_on) {
    log_reply(s_, reply);
    go_on = true;
    if (reply.code >= 100 && reply.code < 200) return LineNext{};
    if (--abort_replies_ > 0) return LineNext{};
    go_on = false;
    s_.failure.set(FailureKind::kUser, "Interrupted");
    return finish(1);
}

}  // namespace orvane
