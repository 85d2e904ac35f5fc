// The shell's command loop: prompt or command file, the end rules, "!" lines, and the wait for
// each request on the main thread.
#include "client/frontend/shell.h"

#include "client/frontend/output.h"
#include "client/frontend/run_modes.h"
#include "client/frontend/shell_words.h"
#include "client/transfer/session/requests.h"
#include "common/limits.h"
#include "common/secret.h"
#include "common/text.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/system.h"

namespace orvane {

namespace {

// Session log: everything goes to the output sink; server replies only while they are shown.
void shell_log(void* user, const char* text, int level, int line_end) {
    auto* shell = static_cast<ShellState*>(user);
    if (level == kLevelResponse && !shell->show_responses) return;
    output(text, level, line_end);
}

void shell_notify(void* context) {
    static_cast<ShellState*>(context)->engine_wake.set();
}

// Reads one line of input: the next line of the command file, or a typed line.
bool read_input_line(ShellState& shell, std::string& line) {
    if (shell.command_file_mode) {
        int r = shell.command_file.read_line(line, kLineCapacity);
        if (r <= 0) {
            shell.quit_requested = true;
            return false;
        }
        return true;
    }
    return platform::console_read_line(line, kLineCapacity) >= 0;
}

void run_bang_line(const std::string& line) {
    if (line.size() > 1)
        platform::run_shell_command(line.substr(1));
    else
        platform::run_interactive_shell();
}

}  // namespace

void shell_done(int, void* object, int result) {
    auto* shell = static_cast<ShellState*>(object);
    shell->last_result = result;
    shell->request_done.set();
}

// Login: the user name and password are asked while connect runs.
void shell_reply_hook(void* shell_state, ReplyHookKind kind, void* data, int) {
    auto* shell = static_cast<ShellState*>(shell_state);
    if (!shell || !data) return;
    if (kind == ReplyHookKind::kUser) {
        std::string answer;
        if (shell_ask(*shell, "User: ", answer))
            *static_cast<std::string*>(data) = cut(answer, kCredentialCapacity);
    } else if (kind == ReplyHookKind::kPassword) {
        std::string answer;
        // Echo goes off before the prompt shows, so a password typed the moment it appears
        // is never echoed.
        bool echo_off = !shell->command_file_mode && platform::console_set_echo(false) == 0;
        output("Password: ", kLevelInfo, 0);
        bool got = read_input_line(*shell, answer);
        if (echo_off) platform::console_set_echo(true);
        if (!shell->command_file_mode) output("", kLevelInfo, 1);
        if (got) *static_cast<std::string*>(data) = cut(answer, kCredentialCapacity);
        wipe_secret(answer);
    }
}

int shell_new_session(ShellState& shell, int protocol) {
    shell.session.reset();
    Notifier notify{shell_notify, &shell};
    shell.session = create_session(&shell, shell_log, notify, protocol, 0);
    if (!shell.session) return 1;
    shell.session->local_folder = platform::current_folder();
    shell.session->passive = shell.passive ? 1 : 0;
    shell.session->listing_kind = shell.use_nlst ? 1 : 0;
    return 0;
}

int shell_wait(ShellState& shell) {
    platform::PollSet set;
    for (;;) {
        set.clear();
        set.add(shell.engine_wake.descriptor(), platform::kPollReadable);
        set.add(shell.spare.descriptor(), platform::kPollReadable);
        set.add(shell.request_done.descriptor(), platform::kPollReadable);
        set.wait(-1);
        if (shell.engine_wake.is_set()) {
            shell.engine_wake.reset();
            pump_session_completions();
        }
        if (shell.spare.is_set()) shell.spare.reset();
        if (shell.request_done.is_set()) break;
    }
    shell.request_done.reset();
    return shell.last_result;
}

bool shell_ask(ShellState& shell, const char* prompt, std::string& answer) {
    output(prompt, kLevelInfo, 0);
    return read_input_line(shell, answer);
}

int run_shell_mode(const StartSettings& settings) {
    ShellState shell;
    shell.show_responses = settings.show_responses;
    shell.passive = settings.passive;
    shell.use_nlst = settings.use_nlst;
    shell.command_file_mode = settings.mode == RunMode::CommandFile;
    int code = 0;
    if (shell_new_session(shell, settings.protocol) != 0) {
        output("Error: the transfer engine could not be started", kLevelError);
        code = 1;
    } else if (shell.command_file_mode) {
        shell.command_file.set_path(platform::normalize_local_path(settings.file));
        if (shell.command_file.open(1) != 0) {
            outputf(kLevelError, "Error: Could not open script file %s", settings.file.c_str());
            code = 1;
        }
    } else {
        output("Fendrel secure file transfer client (version 4)", kLevelInfo);
    }
    if (code == 0) {
        if (!settings.host.empty())
            shell_execute(shell, format("open %s %u", settings.host.c_str(), settings.port));
        std::string line;
        while (!shell.quit_requested) {
            if (!shell.command_file_mode) output("fendrel> ", kLevelInfo, 0);
            if (!read_input_line(shell, line)) break;  // the end of the input ends the loop cleanly
            if (is_shell_end_line(line)) break;
            if (!line.empty() && line[0] == '!') {
                run_bang_line(line);
                continue;
            }
            shell_execute(shell, line);
        }
    }
    shell.session.reset();
    shell.command_file.close();
    return code;
}

}  // namespace orvane
