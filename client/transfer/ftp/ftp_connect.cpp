// The Connect procedure of the FTP kinds: connect and greeting (with AUTH for FTPS), login, PWD.
#include <string>

#include "client/transfer/ftp/ftp_procedures.h"
#include "client/transfer/net/transfer_engine.h"

namespace orvane {

namespace {

enum class ConnectCode : int {
    kConnected = 0,  // the connect step (greeting, AUTH) finished
    kUser,           // USER answered (TLS set up first for the FTPS kinds)
    kPassword,       // PASS, ACCT, PBSZ and PROT answered
    kFolder,         // PWD answered
    kCount,
};

void connect_next(int code, void* owner, int result);

void post_next(Session& s, StepFunction step, ConnectCode next) {
    // A login the user stopped goes no further (the next connect starts on a fresh socket).
    if (s.cancel.load() != 0 ||
        post_session_step(s, *s.control, step, connect_next, static_cast<int>(next)) != 0)
        complete_request(s, 1);
}
void post_command(Session& s, FtpCommand command, ConnectCode next) {
    prepare_ftp_command(s, command);
    post_next(s, ftp_command_step, next);
}

// The front end sees the greeting through the reply hook, as the lines the server sent.
void show_greeting(Session& s, const ServerReply& greeting, int result) {
    if (!s.reply_hook || greeting.lines.empty()) return;
    ByteQueue lines(65536);
    for (const std::string& line : greeting.lines) lines.append_lines(line + "\r\n");
    s.reply_hook(ReplyHookKind::kGreeting, &lines,
                 greeting.code < 200 || greeting.code > 399 || result != 0 ? 1 : 0);
}

void on_connected(Session& s, int result) {
    FtpState& st = ftp_state(s);
    FtpControl& fc = st.control;
    show_greeting(s, fc.greeting, result);
    if (result != 0) {
        complete_request(s, 1);
        return;
    }
    // Implicit TLS protects everything; otherwise FTPS with a clear data channel keeps it clear
    // unless the accepted AUTH variant already implied protection.
    FtpSessionState& fs = st.session;
    if (fs.implicit_tls) {
        fs.clear_data = 0;
    } else {
        fs.clear_data = (fs.auth_implies_protection == 0 && s.protocol == kProtocolFtpsClear) ? 1 : 0;
    }
    fc.user_accepted = false;
    if (s.reply_hook(ReplyHookKind::kUser, &s.user, 0) != 0) {
        s.failure.set(FailureKind::kUser, "The login prompt was cancelled");
        complete_request(s, 1);
        return;
    }
    post_next(s, ftp_login_step, ConnectCode::kUser);
}

void on_user(Session& s, int result) {
    if (result != 0) {
        complete_request(s, 1);
        return;
    }
    if (ftp_state(s).control.user_accepted) {
        post_command(s, FtpCommand::kPwd, ConnectCode::kFolder);
        return;
    }
    if (s.reply_hook(ReplyHookKind::kPassword, &s.password, 0) != 0) {
        s.failure.set(FailureKind::kUser, "The login prompt was cancelled");
        complete_request(s, 1);
        return;
    }
    post_command(s, FtpCommand::kPass, ConnectCode::kPassword);
}

void on_password(Session& s, int result) {
    if (result != 0) {
        complete_request(s, 1);
        return;
    }
    post_command(s, FtpCommand::kPwd, ConnectCode::kFolder);
}

void on_folder(Session& s, int result) {
    complete_request(s, result);
}

constexpr ProcedureStep kContinuations[] = {on_connected, on_user, on_password, on_folder};
static_assert(sizeof kContinuations / sizeof kContinuations[0] == static_cast<size_t>(ConnectCode::kCount),
              "one continuation per connect code");

void connect_next(int code, void* owner, int result) {
    run_procedure_step(kContinuations, code, owner, result, complete_request);
}

}  // namespace

// The control connection holds a few replies at most; data bytes stream into the file or the
// listing parser as they arrive, so the data connection's queue stays small, and its blocks are
// large: fewer system calls per byte moved.
constexpr size_t kControlQueueLimit = 256 * 1024;
constexpr size_t kDataQueueLimit = 64 * 1024;
constexpr size_t kDataBlockSize = 256 * 1024;

void ftp_connect(Session& s) {
    FtpState& st = ftp_state(s);
    if (s.control) s.control->step_state.receive_queue.set_limit(kControlQueueLimit);
    if (s.data) {
        s.data->step_state.receive_queue.set_limit(kDataQueueLimit);
        set_io_block(*s.data, kDataBlockSize);
    }
    st.control.greeting = ServerReply();
    st.session.implicit_tls = 0;
    st.session.auth_implies_protection = 0;
    // Another server may answer on this connection: what it offers is asked again.
    st.session.features_known = false;
    st.session.machine_listing = false;
    st.session.mfmt = false;
    // Made here rather than on an event thread: making it reads the client certificate's files.
    if (s.protocol != kProtocolFtp && s.engine) s.engine->tls_context();
    post_next(s, ftp_connect_step, ConnectCode::kConnected);
}

}  // namespace orvane
