// open with a URL: the scheme chooses the protocol, the login comes from the URL or ~/.netrc (or
// is asked for at a terminal), and a path in the URL is the folder to start in.
#include "client/frontend/output.h"
#include "client/frontend/server_url.h"
#include "client/frontend/shell.h"
#include "client/transfer/session/requests.h"
#include "common/safe_name.h"
#include "common/secret.h"
#include "common/text.h"
#include "platform/system.h"

namespace orvane {

namespace {

// The netrc's login for the host fills what the URL left out. A refused file is reported and
// nothing of it is used.
void take_netrc(const ServerUrl& url, LoginAnswers& answers) {
    std::string home = platform::get_environment("HOME");
    if (home.empty()) return;
    NetrcEntry entry;
    std::string cause;
    NetrcStatus status = read_netrc(home + "/.netrc", url.host, url.have_user ? url.user : "", entry, cause);
    if (status == NetrcStatus::kRefused) outputf(kLevelError, "Error: %s", escape_controls(cause).c_str());
    if (status == NetrcStatus::kFound) {
        if (!answers.have_user && !entry.login.empty()) {
            answers.user = entry.login;
            answers.have_user = true;
        }
        if (!entry.password.empty()) {
            answers.password = entry.password;
            answers.have_password = true;
        }
    }
    wipe_secret(entry.password);
}

int open_failed(ShellState& shell) {
    shell.answers.clear();
    if (shell.command_file_mode) shell.quit_requested = true;
    return 1;
}

}  // namespace

int shell_open_url(ShellState& shell, const std::string& address) {
    ServerUrl url;
    std::string cause;
    int parsed = parse_server_url(address, url, cause);
    if (parsed != 0) {
        // The text may hold a password: the cause is shown, never the URL.
        outputf(kLevelError, "Error: Invalid URL: %s", cause.c_str());
        return open_failed(shell);
    }
    shell.answers.clear();
    shell.answers.user = url.user;
    shell.answers.have_user = url.have_user;
    shell.answers.password = url.password;
    shell.answers.have_password = url.have_password;
    wipe_secret(url.password);
    if (!shell.answers.have_password) take_netrc(url, shell.answers);
    // A URL open reads no answer lines: unattended, what the URL and ~/.netrc do not give is
    // missing, and a command line is never taken for a password.
    if (shell.answers_from_input && !(shell.answers.have_user && shell.answers.have_password)) {
        outputf(kLevelError, "Error: No %s for %s: give it in the URL or in ~/.netrc",
                shell.answers.have_user ? "password" : "user name", escape_controls(url.host).c_str());
        return open_failed(shell);
    }
    if (shell.session->protocol != url.protocol || shell.session->implicit_tls != url.implicit_tls) {
        if (shell_new_session(shell, url.protocol) != 0) {
            output("Error: the transfer engine could not be started", kLevelError);
            return open_failed(shell);
        }
        shell.session->implicit_tls = url.implicit_tls;
    }
    int r = shell_finish(
        shell, request_connect(*shell.session, url.host, shell.answers.password, shell.answers.user, url.port,
                               ReplyHook{shell_reply_hook, &shell}, shell_done, 0, &shell));
    shell.answers.clear();
    if (r != 0) return open_failed(shell);
    shell.connected = true;
    if (url.folder.empty()) return 0;
    return shell_finish(shell, request_change_folder(*shell.session, url.folder, shell_done, 0, &shell));
}

}  // namespace orvane
