// The shell's command loop: prompt or command file, the end rules, "!" lines, and the wait for
// each request on the main thread.
#include "client/frontend/shell.h"

#include <optional>

#include "client/frontend/output.h"
#include "client/frontend/run_modes.h"
#include "client/frontend/server_url.h"
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
    if (shell->silent) return;
    if (level == kLevelError) shell->error_shown = true;
    if (level == kLevelResponse && !shell->show_responses) return;
    output(text, level, line_end);
}

void shell_notify(void* context) {
    static_cast<ShellState*>(context)->engine_wake.set();
}

// The next line of the command file. A line over the limit is refused whole, never split: the
// reader hands it over in pieces, and the ones after the first are dropped up to its line end.
InputResult read_command_file_line(ShellState& shell, std::string& line) {
    int r = shell.command_file.read_line(line, kLineCapacity);
    if (r <= 0) {
        shell.quit_requested = true;
        return InputResult::kEnd;
    }
    ++shell.line_number;
    bool cut_short = static_cast<size_t>(r) == line.size() && line.size() == kLineCapacity - 1;
    if (!cut_short) return InputResult::kLine;
    std::string rest;
    int more = shell.command_file.read_line(rest, kLineCapacity);
    if (more <= 0) return InputResult::kLine;  // the file ends just after a line of the largest size
    while (more > 0 && static_cast<size_t>(more) == rest.size()) {
        wipe_secret(rest);
        more = shell.command_file.read_line(rest, kLineCapacity);
    }
    wipe_secret(rest);
    wipe_secret(line);  // it may have been a password
    outputf(kLevelError, "Error: Line %d is longer than %zu characters", shell.line_number,
            kLineCapacity - 1);
    return InputResult::kTooLong;
}

void run_bang_line(const std::string& line) {
    if (line.size() > 1)
        platform::run_shell_command(line.substr(1));
    else
        platform::run_interactive_shell();
}

int cancel_login() {
    output("", kLevelInfo, 1);
    output("Error: Login cancelled: the input ended without an answer", kLevelError);
    return 1;
}

}  // namespace

void LoginAnswers::clear() {
    have_user = have_password = false;
    user.clear();
    wipe_secret(password);
}

InputResult shell_read_line(ShellState& shell, std::string& line) {
    if (shell.command_file_mode) return read_command_file_line(shell, line);
    return platform::console_read_line(line, kLineCapacity) >= 0 ? InputResult::kLine : InputResult::kEnd;
}

void shell_done(int, void* object, int result) {
    auto* shell = static_cast<ShellState*>(object);
    shell->last_result = result;
    shell->request_done.set();
}

void shell_read_login_answers(ShellState& shell) {
    shell.answers.clear();
    if (!shell.answers_from_input) return;
    InputResult user = shell_read_line(shell, shell.answers.user);
    if (user == InputResult::kEnd) return;
    shell.answers.have_user = user == InputResult::kLine;
    InputResult password = shell_read_line(shell, shell.answers.password);
    shell.answers.have_password = password == InputResult::kLine;
}

// Login: the answers read ahead, or, at a terminal, asked for while connect runs. Without an
// answer the login is cancelled: nothing stands in for a missing password.
int shell_reply_hook(void* shell_state, ReplyHookKind kind, void* data, int) {
    auto* shell = static_cast<ShellState*>(shell_state);
    if (!shell || !data) return 0;
    if (kind == ReplyHookKind::kUser) {
        auto* target = static_cast<std::string*>(data);
        output("User: ", kLevelInfo, 0);
        std::string answer;
        // Answers known before the login (read ahead, or from a URL) are used without asking.
        bool known = shell->answers_from_input || shell->answers.have_user;
        bool got = known ? shell->answers.have_user : platform::console_read_line(answer, kLineCapacity) >= 0;
        if (!got) return cancel_login();
        *target = cut(known ? shell->answers.user : answer, kCredentialCapacity);
    } else if (kind == ReplyHookKind::kPassword) {
        std::string answer;
        bool got = false;
        bool known = shell->answers_from_input || shell->answers.have_password;
        if (known) {
            if (shell->answers_from_input) output("Password: ", kLevelInfo, 0);
            got = shell->answers.have_password;
            if (got) answer = shell->answers.password;
        } else {
            // Echo goes off before the prompt shows, so a password typed the moment it appears
            // is never echoed.
            bool echo_off = platform::console_set_echo(false) == 0;
            output("Password: ", kLevelInfo, 0);
            got = platform::console_read_line(answer, kLineCapacity) >= 0;
            if (echo_off) platform::console_set_echo(true);
        }
        if (!got) return cancel_login();
        if (!shell->command_file_mode && (shell->answers_from_input || !known)) output("", kLevelInfo, 1);
        *static_cast<Secret*>(data) = std::string_view(answer).substr(0, kCredentialCapacity);
        wipe_secret(answer);
    }
    return 0;
}

int shell_new_session(ShellState& shell, int protocol) {
    shell.session.reset();
    Notifier notify{shell_notify, &shell};
    shell.session = create_session(shell.engines.transfer, shell.engines.requests, &shell, shell_log, notify,
                                   protocol, shell.timeout_seconds);
    if (!shell.session) return 1;
    shell.engines.prepare_session(*shell.session);
    shell.session->local_folder = platform::current_folder();
    shell.session->passive = shell.passive ? 1 : 0;
    shell.session->parallel = shell.parallel;
    shell.session->listing_kind = shell.use_nlst ? 1 : 0;
    return 0;
}

bool shell_ask(ShellState& shell, const char* prompt, std::string& answer) {
    output(prompt, kLevelInfo, 0);
    return shell_read_line(shell, answer) == InputResult::kLine;
}

// Runs one line of the loop and notes a failed command. An empty line fails by design but is
// no failure of the run. At a terminal Ctrl-C stops the command while it runs; at the prompt it
// stays the line editor's.
void run_line(ShellState& shell, const std::string& line) {
    std::optional<platform::InterruptWatch> watch;
    if (shell.interactive && !shell.interrupts) {
        watch.emplace();
        shell.interrupts = &*watch;
    }
    if (shell_execute(shell, line) != 0 && !split_shell_words(line).empty()) shell.any_failed = true;
    shell_take_interrupts(shell);
    if (watch) shell.interrupts = nullptr;
}

int run_shell_mode(const StartSettings& settings) {
    ShellState shell(settings.tls);
    shell.show_responses = settings.show_responses;
    shell.passive = settings.passive;
    shell.parallel = settings.parallel;
    shell.use_nlst = settings.use_nlst;
    shell.timeout_seconds = reply_timeout(settings);
    shell.command_file_mode = settings.mode == RunMode::CommandFile;
    shell.answers_from_input = shell.command_file_mode || !platform::stdin_is_terminal();
    shell.interactive = !shell.answers_from_input;
    shell.progress.enabled = settings.progress && platform::stdout_is_terminal();
    // Unattended, a signal ends the run at any point, after the connection is closed; the watch
    // lives as long as the loop.
    std::optional<platform::InterruptWatch> watch;
    if (!shell.interactive) {
        watch.emplace();
        shell.interrupts = &*watch;
    }
    int code = 0;
    if (shell.engines.load_client_certificate() != 0) {
        outputf(kLevelError, "Error: Could not load the client certificate %s",
                settings.tls.certificate.certificate_file.c_str());
        code = 1;
    } else if (shell_new_session(shell, settings.protocol) != 0) {
        output("Error: the transfer engine could not be started", kLevelError);
        code = 1;
    } else if (shell.command_file_mode) {
        shell.command_file.set_path(platform::normalize_local_path(settings.file));
        if (shell.command_file.open(1) != 0) {
            outputf(kLevelError, "Error: Could not open script file %s", settings.file.c_str());
            code = 1;
        }
    } else {
        output(kVersionText, kLevelInfo);
    }
    if (code == 0) {
        if (looks_like_url(settings.host))
            run_line(shell, "open " + settings.host);  // the URL names its own port
        else if (!settings.host.empty())
            run_line(shell, format("open %s %u", settings.host.c_str(), settings.port));
        std::string line;
        while (!shell.quit_requested && shell.stop_signal == 0) {
            InputResult in = shell_read_command(shell, line);
            shell_take_interrupts(shell);
            if (in == InputResult::kEnd || shell.stop_signal != 0)
                break;  // the end of the input ends the loop cleanly
            if (in == InputResult::kTooLong) {
                shell.any_failed = true;
                continue;
            }
            if (is_shell_end_line(line)) break;
            if (!line.empty() && line[0] == '!') {
                run_bang_line(line);
                continue;
            }
            run_line(shell, line);
        }
        // However the loop ended (bye, quit, exit, the end of the input), the server hears QUIT.
        shell_disconnect(shell);
        // Only a command file reports its commands' failures; the interactive shell ends with 0.
        if (shell.command_file_mode && shell.any_failed) code = 1;
        if (shell.stop_signal != 0) code = platform::interrupt_exit_code(shell.stop_signal);
    }
    shell.interrupts = nullptr;
    shell.answers.clear();
    shell.session.reset();
    shell.command_file.close();
    return code;
}

}  // namespace orvane
