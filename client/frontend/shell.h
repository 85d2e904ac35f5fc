// The interactive shell and command-file modes: shell state shared by the loop and the commands.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "client/frontend/command_line.h"
#include "client/transfer/session/session.h"
#include "common/local_file.h"
#include "platform/event.h"

namespace orvane {

struct ShellState {
    std::unique_ptr<Session> session;
    bool connected = false;
    platform::Event engine_wake;   // set by the session's notify function
    platform::Event spare;         // waited on and reset, never set by the shell
    platform::Event request_done;  // set by the done callback
    int last_result = 0;
    bool show_responses = true;
    bool command_file_mode = false;
    LocalFile command_file;
    bool quit_requested = false;
    bool passive = true;
    bool use_nlst = true;
};

// Creates the shell's session of a protocol kind with the shell's callbacks. 0 on success.
int shell_new_session(ShellState& shell, int protocol);
// Waits on the main thread until the request just started has completed; its result.
int shell_wait(ShellState& shell);
// Outputs the prompt at info level without a line end and reads one answer (from the console
// or the command file). False at the end of the input (the command file's end sets the quit flag).
bool shell_ask(ShellState& shell, const char* prompt, std::string& answer);
// The done callback of every shell request (object: the shell).
void shell_done(int code, void* object, int result);
// The login hook (context: the shell): asks for the user name and the password.
void shell_reply_hook(void* shell_state, ReplyHookKind kind, void* data, int flag);
// Runs one command line; 0 or the request's result, 1 for an empty line or an unknown command.
int shell_execute(ShellState& shell, const std::string& line);

}  // namespace orvane
