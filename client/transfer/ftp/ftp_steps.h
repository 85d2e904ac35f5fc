// The FTP steps: control-channel commands and the connect and login steps, and the data-connection steps.
#pragma once

#include <string>

#include "client/transfer/ftp/ftp_state.h"

namespace orvane {

// ---- control channel (ftp_control.cpp, ftp_steps.cpp) ----

// What a command's reply asks the control step to do next.
struct ReplyAction {
    enum Kind : int { kFinish, kSend, kWait } kind = kFinish;
    int result = 0;                       // kFinish: the step's result
    FtpCommand next = FtpCommand::kNone;  // kSend: the command to send next
};
using LineBuilder = std::string (*)(Session& s);
using ReplyHandler = ReplyAction (*)(Session& s, FtpControl& fc, const ServerReply& reply);

struct CommandRow {
    FtpCommand command;
    const char* name;
    LineBuilder line;  // null: nothing is sent (the greeting)
    ReplyHandler on_reply;
};
const CommandRow& command_row(FtpCommand command);

// The step that sends the session's prepared command and follows its replies (and the commands
// they lead to) until one finishes it.
void ftp_command_step(Connection& c);
// Connects the control connection, reads the greeting and, for the TLS kinds, negotiates AUTH.
void ftp_connect_step(Connection& c);
// Switches the control connection to TLS for the TLS kinds, then sends USER.
void ftp_login_step(Connection& c);

// Posts ftp_command_step for `command` on the control connection (arguments already in the
// session). 1 when it could not be posted.
int post_ftp_command(Session& s, FtpCommand command, CompletionCallback continuation, int code);
// Sets the command that the next ftp_command_step sends (for the two-channel join).
void prepare_ftp_command(Session& s, FtpCommand command);

// The data side's word to the control step: the transfer's reply is no longer waited for (the
// data connection failed), or the data connection has ended (the wait for the final reply starts).
void ftp_control_abort(Session& s);
void ftp_control_data_ended(Session& s);
// The control connection's TLS, whose session a protected data connection resumes; null when the
// control connection is plain or gone.
const ByteFilter* ftp_control_tls(const Session& s);
// State changes of the control and data steps and of the folder walks go to the session's log.
void ftp_set_trace(Session& s, bool on);

// ---- data channel (ftp_data.cpp) ----

void passive_receive_step(Connection& c);
void passive_send_step(Connection& c);
void active_listen_step(Connection& c);
void active_receive_step(Connection& c);
void active_send_step(Connection& c);
// The name of a data step's state number (for traces).
const char* data_state_name(int state);
// "Could not open local file PATH: REASON", the reason from the error number.
std::string local_file_error(const std::string& path, int error);
// Closes the data connection's socket (a listening socket left by a failed procedure).
void data_close_step(Connection& c);

}  // namespace orvane
