// The interactive shell and command-file modes: shell state shared by the loop and the commands.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "client/frontend/command_line.h"
#include "client/frontend/completion.h"
#include "client/frontend/line_reader.h"
#include "client/frontend/progress.h"
#include "client/script/run_engines.h"
#include "client/transfer/session/session.h"
#include "common/local_file.h"
#include "platform/event.h"
#include "platform/interrupt_watch.h"

namespace orvane {

// The login answers read ahead for one open; the password is wiped once the login is over.
struct LoginAnswers {
    bool have_user = false;
    bool have_password = false;
    std::string user;
    std::string password;
    void clear();
};

// One line of input: a line, a command-file line over the limit (refused whole), or the end.
enum class InputResult { kLine, kTooLong, kEnd };

struct ShellState {
    ShellState() = default;
    explicit ShellState(const TlsRunSettings& tls) : engines(tls) {}

    RunEngines engines;  // outlives the session
    std::unique_ptr<Session> session;
    bool connected = false;
    platform::Event engine_wake;   // set by the session's notify function
    platform::Event spare;         // waited on and reset, never set by the shell
    platform::Event request_done;  // set by the done callback
    int last_result = 0;
    bool show_responses = true;
    bool command_file_mode = false;
    LocalFile command_file;
    int line_number = 0;  // lines read from the command file so far
    bool quit_requested = false;
    bool passive = true;
    int parallel = 1;  // files mget, mput and folder transfers may move at once
    bool use_nlst = true;
    int timeout_seconds = 0;  // the session's reply timeout; 0 waits forever
    // Input that is not typed at a terminal (a command file, a pipe) answers the login from the
    // two lines after each open, read whether or not the server asks: they are never commands.
    bool answers_from_input = false;
    LoginAnswers answers;
    bool any_failed = false;   // a command failed: a command file's run ends with exit code 1
    bool error_shown = false;  // an error-level message came since the last request ended
    // Ctrl-C and SIGTERM (shell_interrupt.cpp): the watch while signals stop requests rather than
    // the program, whether the running command was stopped, and a signal that ends the run.
    platform::InterruptWatch* interrupts = nullptr;
    bool interactive = false;
    bool interrupted = false;
    int stop_signal = 0;
    TransferProgress progress;
    // Line editing at a terminal, and the remote names Tab offers (kept until a command may
    // have changed the folder or its contents).
    LineReader reader;
    bool editing_checked = false;
    bool silent = false;  // nothing of the session reaches the screen (a listing for Tab)
    bool remote_names_valid = false;
    std::string remote_names_folder;
    std::vector<CompletionName> remote_names;
    std::string last_command;  // the first word of the command line read last
};

// Takes the signals that came (SIGINT, SIGTERM): the running request is asked to stop, the
// command is marked stopped, and outside the interactive shell the run is told to end.
void shell_take_interrupts(ShellState& shell);
// Runs a started transfer to its end (shell_finish) with its progress line and summary;
// `known_total` is the size when the shell knows it (an upload's file), else 0.
int shell_finish_transfer(ShellState& shell, int started, const std::string& name, uint64_t known_total);
// A local file as it was before a download, to tell afterwards whether the download touched it.
struct LocalBefore {
    bool existed = false;
    int64_t size = 0;
    uint64_t time = 0;
};
LocalBefore shell_local_before(const std::string& path);
// After a stopped download into `path`: a partial file is kept (and said so, with its size) only
// when a later reget can continue it; otherwise it goes.
void shell_report_stopped_download(ShellState& shell, const std::string& path, const LocalBefore& before,
                                   const std::string& remote);

// Creates the shell's session of a protocol kind with the shell's callbacks. 0 on success.
int shell_new_session(ShellState& shell, int protocol);
// Waits on the main thread until the request just started has completed; its result. With
// `patience_ms`, the request is stopped as by Ctrl-C each time that long passes without its end.
int shell_wait(ShellState& shell, int patience_ms = -1);
// Reads the next command line: from the command file, or after the prompt "fendrel> ", edited
// (history, completion) when standard input and output are terminals.
InputResult shell_read_command(ShellState& shell, std::string& line);
// The names of the shell's commands, for completion.
std::vector<std::string> shell_command_names();
// Reads one line of input: the next line of the command file, or a line from standard input.
InputResult shell_read_line(ShellState& shell, std::string& line);
// Outputs the prompt at info level without a line end and reads one answer (from the console
// or the command file). False at the end of the input (the command file's end sets the quit
// flag) and for a line over the limit.
bool shell_ask(ShellState& shell, const char* prompt, std::string& answer);
// Reads the two answer lines of an open ahead, when answers come from the input.
void shell_read_login_answers(ShellState& shell);
// The done callback of every shell request (object: the shell).
void shell_done(int code, void* object, int result);
// The login hook (context: the shell): gives the user name and the password, asking for them at
// the terminal; 1 cancels the login when there is no answer.
int shell_reply_hook(void* shell_state, ReplyHookKind kind, void* data, int flag);
// Runs one command line; 0 or the request's result, 1 for an empty line or an unknown command.
int shell_execute(ShellState& shell, const std::string& line);
// Runs a started request to its end (1 when the session was busy) and makes sure a failure is
// on standard error.
int shell_finish(ShellState& shell, int started);
// The session's remote folder listing into session->listing; 0 on success.
int shell_listing(ShellState& shell);
// One listing of `remote` (empty: the current folder) into session->listing: FTP sends `options`
// and the path with its command (LIST whatever the name-list setting when `long_lines`); SFTP has
// no options and visits the folder to list it. `finish` runs each request started to its end.
int shell_fetch_listing(ShellState& shell, const std::string& options, const std::string& remote,
                        bool long_lines, const std::function<int(int started)>& finish);
// The last component of a path ("b" for "/a/b").
std::string base_name(const std::string& path);
// Says so and returns false when an entry's path is longer than a request takes: a cut path would
// name another file, so nothing is sent.
bool entries_fit(std::initializer_list<const RemoteFileEntry*> entries);
// A local name resolved against the session's local folder.
std::string shell_resolve_local(const ShellState& shell, const std::string& name);
// ls (long_lines false) and dir: the words of the command line, the command's name first.
int shell_list(ShellState& shell, const std::vector<std::string>& words, bool long_lines);
// open with an ftp://, ftps:// or sftp:// URL; 0 when connected (and in the URL's folder).
int shell_open_url(ShellState& shell, const std::string& address);
// get -r, put -r and mirror: whole folder trees through the folder walks (the words of the line).
int shell_get_tree(ShellState& shell, const std::vector<std::string>& words);
int shell_put_tree(ShellState& shell, const std::vector<std::string>& words);
int shell_mirror(ShellState& shell, const std::vector<std::string>& words);
// Says QUIT when connected, at the end of the loop: a connection already gone is no failure.
void shell_disconnect(ShellState& shell);
// The shell's commands with a line of description each, as `help` shows them.
void shell_list_commands();

}  // namespace orvane
