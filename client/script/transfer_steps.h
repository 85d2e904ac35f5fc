// What the macros that act on a server share: the checks of values bound for a server, local and
// remote paths, and the steps that carry a statement from one of its requests to the next until
// its completion reaches the interpreter.
#pragma once

#include <string>

#include "client/script/macro_table.h"
#include "client/transfer/session/session.h"

namespace orvane::script {

// What follows a request of a transfer statement; it travels as the request's caller code.
enum class TransferStep : int {
    kFinish,       // the request's result completes the statement
    kConnected,    // connect and login done: read the server's folder
    kFolderRead,   // the server's folder read: show both folders
    kTransferred,  // an upload, download or remote delete done: back into the remembered folder
    kReturned,     // back in the remembered folder
    kListed,       // the listing done: fill the list
    kPathChanged,  // the remote folder changed: remember it
    kTimeRead,     // the modification time read: store it
    kCount,
};
const char* transfer_step_name(TransferStep step);

// A transfer statement's request is started as
//   start_request(call, request_x(session, ..., transfer_step_done, step_code(step), statement_object(call)))
// statement_object() readies the statement's record (the interpreter its completion goes to) and
// is the done callback's object; start_request() fails the statement when the session was busy.
void* statement_object(MacroCall& call);
constexpr int step_code(TransferStep step) {
    return static_cast<int>(step);
}
void start_request(MacroCall& call, int busy);
// The done callback of every request a transfer statement starts (object: the script context).
void transfer_step_done(int code, void* object, int result);

// The script's transfer session; null (after the statement has failed) when the run has none.
Session* statement_session(MacroCall& call);

// True when the text may go to a server: no CR, LF or NUL, which would end the command line
// early and start another. Otherwise the statement fails with a runtime error.
bool sendable(MacroCall& call, const std::string& text);
// True when the text is a usable path (not empty); otherwise the statement fails.
bool named(MacroCall& call, const std::string& text);
// The remote path the session will use for `path` (joined to its folder), when it is sendable
// and fits the path capacity; otherwise the statement fails and false is returned.
bool remote_path_usable(MacroCall& call, const Session& s, const std::string& path);

// A local path of the script: "\" read as "/", a relative one joined to the script's local
// folder. False (and the statement failed) when the result is longer than a path may be.
bool local_path(MacroCall& call, const std::string& text, std::string& path);
// The last component of a path ("/" and "\" both separate).
std::string base_name(const std::string& path);

}  // namespace orvane::script
