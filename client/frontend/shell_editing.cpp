// The shell's side of line editing: the prompt, what goes into the history, and the names Tab
// offers (commands, the local folder, a cached listing of the remote folder).
#include "client/frontend/output.h"
#include "client/frontend/server_url.h"
#include "client/frontend/shell.h"
#include "client/frontend/shell_words.h"
#include "client/transfer/session/requests.h"
#include "common/limits.h"
#include "common/secret.h"
#include "common/text.h"
#include "platform/file.h"

namespace orvane {

namespace {

// Commands after which the remote folder still holds the same names.
constexpr const char* kKeepsRemoteNames[] = {"ls",     "dir",  "get",  "recv", "mget", "pwd",  "lcd", "ascii",
                                             "binary", "type", "help", "?",    "",     "exit", "!"};

void forget_remote_names_after(ShellState& shell, const std::string& command) {
    for (const char* keep : kKeepsRemoteNames)
        if (iequals(command, keep)) return;
    shell.remote_names_valid = false;
}

// No reply timeout holds the interactive shell, and Ctrl-C is a character while a line is edited:
// a listing for Tab that does not come is given up, or a stalled server would hold the prompt.
constexpr int kCompletionPatienceMs = 10000;

// Lists a folder as typed ("" for the current one) into the session's listing, without a word on
// the screen: the line being edited stays as it is. Long lines tell a folder, which completes with
// a "/".
int completion_listing(ShellState& shell, const std::string& folder, bool& given_up) {
    return shell_fetch_listing(shell, {}, folder, true, [&shell, &given_up](int started) {
        if (given_up || started != 0) return 1;
        int r = shell_wait(shell, kCompletionPatienceMs);
        given_up = r != 0 && shell.session->cancel.load() != 0;
        return r;
    });
}

std::vector<CompletionName> remote_names(ShellState& shell, const std::string& folder, bool& said_something) {
    if (!shell.connected || !shell.session) return {};
    const std::string key = shell.session->remote_folder + '\n' + folder;
    if (shell.remote_names_valid && shell.remote_names_folder == key) return shell.remote_names;
    shell.silent = true;
    bool given_up = false;
    int r = completion_listing(shell, folder, given_up);
    shell.silent = false;
    shell.error_shown = false;
    if (given_up) {
        said_something = true;
        output("", kLevelInfo, 1);
        outputf(kLevelWarning, "The listing for completion did not come within %d s and was stopped",
                kCompletionPatienceMs / 1000);
        if (!session_connected(*shell.session)) {
            shell.connected = false;
            output("The connection was closed; open it again to go on", kLevelWarning);
        }
        shell.remote_names_valid = false;
        return {};
    }
    shell.remote_names.clear();
    if (r == 0)
        for (const RemoteFileEntry& e : shell.session->listing)
            shell.remote_names.push_back({e.name, e.type == kEntryFolder});
    shell.remote_names_valid = true;
    shell.remote_names_folder = key;
    return shell.remote_names;
}

std::vector<CompletionName> local_names(const ShellState& shell, const std::string& folder) {
    std::vector<CompletionName> names;
    std::string path = folder.empty() ? shell.session->local_folder : shell_resolve_local(shell, folder);
    for (const platform::FolderItem& item : platform::list_folder(path))
        names.push_back({item.name, item.is_folder});
    return names;
}

Completion complete(void* context, const std::string& before_cursor) {
    auto& shell = *static_cast<ShellState*>(context);
    NameSources sources;
    sources.commands = shell_command_names();
    bool said_something = false;
    sources.remote = [&shell, &said_something](const std::string& folder) {
        return remote_names(shell, folder, said_something);
    };
    sources.local = [&shell](const std::string& folder) { return local_names(shell, folder); };
    Completion c = complete_line(before_cursor, sources);
    c.said_something = said_something;
    return c;
}

// What the history keeps of a line: nothing of a raw PASS or ACCT, nor of a line begun with a
// blank (the usual way to keep a line out); a URL's password is left out.
std::string history_entry(const std::string& line) {
    if (line.empty() || line[0] == ' ') return {};
    std::vector<std::string> words = split_shell_words(line);
    if (words.size() > 1 && (iequals(words[0], "quote") || iequals(words[0], "literal")) &&
        command_carries_secret(line.substr(line.find(words[1]))))
        return {};
    return without_url_passwords(line);
}

}  // namespace

InputResult shell_read_command(ShellState& shell, std::string& line) {
    forget_remote_names_after(shell, shell.last_command);
    shell.last_command.clear();
    if (shell.command_file_mode) return shell_read_line(shell, line);
    if (!shell.editing_checked) {
        shell.editing_checked = true;
        shell.reader.open(default_history_path(), complete, &shell);
    }
    InputResult in;
    if (shell.reader.active()) {
        std::string colour, colour_end;
        prompt_colour(colour, colour_end);
        in = shell.reader.read(colour, "fendrel> ", colour_end, line, kLineCapacity) == ReadResult::kLine
                 ? InputResult::kLine
                 : InputResult::kEnd;
        if (in == InputResult::kLine) shell.reader.remember(history_entry(line));
    } else {
        output("fendrel> ", kLevelInfo, 0);
        in = shell_read_line(shell, line);
    }
    if (in == InputResult::kLine) {
        // A "!" line runs a local program: the remote names stay.
        std::vector<std::string> words = split_shell_words(line);
        if (!line.empty() && line[0] == '!')
            shell.last_command.assign(1, '!');
        else if (!words.empty())
            shell.last_command.swap(words[0]);
    }
    return in;
}

}  // namespace orvane
