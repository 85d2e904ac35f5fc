// The control steps: each hands the control engine its next exchange and lets the line step carry
// it out over the connection; and the hooks through which the data side reaches the control side.
#include <memory>

#include "client/transfer/ftp/ftp_engine.h"
#include "client/transfer/ftp/ftp_steps.h"
#include "client/transfer/session/request_dispatch.h"
#include "common/log.h"
#include "common/text.h"

namespace orvane {

void report_timeout(Session& s) {
    FtpState& st = running_ftp_state(s);
    if (st.timeout_reported.exchange(true)) return;
    session_log(s, kLevelError,
                format("ERROR: The server did not answer within %d seconds", s.timeout).c_str());
}

FtpState& ftp_state(Session& s) {
    if (!s.protocol_state) s.protocol_state = std::make_unique<FtpState>(s);
    return *static_cast<FtpState*>(s.protocol_state.get());
}

void ftp_set_trace(Session& s, bool on) {
    s.trace = on;
}

void ftp_command_step(Connection& c) {
    FtpState& st = running_ftp_state(step_session(c));
    if (c.flags & kFlagPosted) {
        line_step_start(c, st.link);
        return;
    }
    line_step_wake(c, st.link);
}

void ftp_connect_step(Connection& c) {
    Session& s = step_session(c);
    FtpState& st = running_ftp_state(s);
    if (c.flags & kFlagPosted) {
        st.engine->prepare_connect();
        line_step_connect(c, st.link, s.host, s.port);
        return;
    }
    line_step_wake(c, st.link);
}

void ftp_login_step(Connection& c) {
    FtpState& st = running_ftp_state(step_session(c));
    if (c.flags & kFlagPosted) {
        st.engine->prepare_login();
        line_step_start(c, st.link);
        return;
    }
    line_step_wake(c, st.link);
}

int post_ftp_command(Session& s, FtpCommand command, CompletionCallback continuation, int code) {
    // A stopped request sends nothing more: its procedure ends at its next command.
    if (!s.control || s.cancel.load() != 0) return 1;
    prepare_ftp_command(s, command);
    return post_session_step(s, *s.control, ftp_command_step, continuation, code);
}

void prepare_ftp_command(Session& s, FtpCommand command) {
    FtpState& st = ftp_state(s);
    st.engine->prepare_command(command);
    st.timeout_reported = false;
}

void ftp_control_abort(Session& s) {
    if (s.control) raise_flag(*s.control, kFlagAbort);
}

void ftp_control_data_ended(Session& s) {
    if (s.control) raise_flag(*s.control, kFlagRestartTime);
}

const ByteFilter* ftp_control_tls(const Session& s) {
    return s.control ? s.control->filter.get() : nullptr;
}

}  // namespace orvane
