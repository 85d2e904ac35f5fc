// The shell's commands: lookup, argument prompts, and one request per command on the session.
#include <algorithm>
#include <vector>

#include "client/actions/wildcard.h"
#include "client/frontend/command_line.h"
#include "client/frontend/output.h"
#include "client/frontend/server_url.h"
#include "client/frontend/shell.h"
#include "client/frontend/shell_words.h"
#include "client/transfer/session/remote_path.h"
#include "client/transfer/session/requests.h"
#include "common/limits.h"
#include "common/local_file.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/folder_ops.h"
#include "platform/system.h"

namespace orvane {

// A local name is absolute when it begins with "/" (a "\" counts as "/"); any other is taken
// relative to the session's local folder.
std::string shell_resolve_local(const ShellState& shell, const std::string& name) {
    std::string p = platform::normalize_local_path(name);
    if (!p.empty() && p[0] == '/') return p;
    std::string folder = shell.session->local_folder;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder + p;
}

// Runs a started request to its end; 1 when the session was busy. A failure that said nothing
// at error level (a refusal shows only as the server's reply) gets its error line, so a failed
// command is always on standard error.
int shell_finish(ShellState& shell, int started) {
    int r = started != 0 ? 1 : shell_wait(shell);
    if (r != 0 && shell.session->cancel.load() != 0) {
        // The user's own stop is no error of the server's: one word, and whether the connection
        // is still there to use.
        shell.interrupted = true;
        output("Interrupted", kLevelWarning);
        if (shell.connected && !session_connected(*shell.session)) {
            shell.connected = false;
            output("The connection was closed; open it again to go on", kLevelWarning);
        }
    } else if (r != 0 && !shell.error_shown) {
        const Failure& f = shell.session->failure;
        outputf(kLevelError, "Error: %s",
                f.cause.empty() ? "the request failed" : escape_controls(f.cause).c_str());
    }
    shell.error_shown = false;
    return r;
}

int shell_listing(ShellState& shell) {
    return shell_finish(shell, request_listing(*shell.session, shell_done, 0, &shell));
}

namespace {

using Words = std::vector<std::string>;
using CommandFn = int (*)(ShellState& shell, const Words& words);

struct Command {
    const char* name;
    bool needs_connection;
    CommandFn run;
    const char* description;  // one line for `help`
};

// The word at index i, or the answer to the prompt when the line has no such word.
bool argument(ShellState& shell, const Words& words, size_t i, const char* prompt, std::string& out) {
    if (i < words.size()) {
        out = words[i];
        return true;
    }
    return shell_ask(shell, prompt, out);
}

// Entries keep the whole path: one longer than the request layer takes is refused by
// entries_fit() before anything is sent, because a cut path names another file.
RemoteFileEntry local_entry(const ShellState& shell, const std::string& name) {
    RemoteFileEntry e;
    e.full_path = shell_resolve_local(shell, name);
    e.name = base_name(e.full_path);
    int64_t size = platform::path_size(e.full_path);
    if (size > 0) e.size = static_cast<uint64_t>(size);
    e.file_time = platform::path_last_write_time(e.full_path);
    return e;
}

RemoteFileEntry remote_entry(const ShellState& shell, const std::string& name, int type = kEntryFile) {
    RemoteFileEntry e;
    e.name = name;
    e.full_path = join_remote_path(name, shell.session->remote_folder);
    e.type = type;
    return e;
}

bool has_wildcard(const std::string& word) {
    return word.find_first_of("*?[") != std::string::npos;
}

// A plain get or put replaces the target as ftp and lftp do.
constexpr DuplicateRules kOverwrite{kCompareBySize, kDuplicateOverwrite, kDuplicateOverwrite,
                                    kDuplicateOverwrite};
// reget, reput, get -c and put -c: a shorter target is continued from its size, one of the same
// size is taken as complete, and a longer one cannot be a prefix of the source, so it is replaced.
constexpr DuplicateRules kContinue{kCompareBySize, kDuplicateResume, kDuplicateSkip, kDuplicateOverwrite};

// The words of a resume hint: the remote name, and the local one when it differs.
std::string resume_words(const std::string& first, const std::string& second) {
    return first == second ? first : first + " " + second;
}

// `scratch`: a private temporary file, whose partial bytes nobody resumes.
int download(ShellState& shell, const std::string& remote, const std::string& local,
             const DuplicateRules& rules = kOverwrite, bool scratch = false) {
    shell.session->download_rules = rules;
    RemoteFileEntry target = local_entry(shell, local), source = remote_entry(shell, remote);
    if (!entries_fit({&target, &source})) return 1;
    LocalBefore before = shell_local_before(target.full_path);
    int r = shell_finish_transfer(
        shell, request_download(*shell.session, target, source, shell_done, 0, &shell), base_name(remote), 0);
    if (r != 0 && !scratch)
        shell_report_stopped_download(shell, target.full_path, before, resume_words(remote, local));
    return r;
}

int upload(ShellState& shell, const std::string& local, const std::string& remote,
           const DuplicateRules& rules) {
    shell.session->upload_rules = rules;
    RemoteFileEntry source = local_entry(shell, local), target = remote_entry(shell, remote);
    if (!entries_fit({&source, &target})) return 1;
    int r =
        shell_finish_transfer(shell, request_upload(*shell.session, source, target, shell_done, 0, &shell),
                              source.name, source.size);
    if (r != 0 && shell.interrupted)
        outputf(kLevelWarning, "Interrupted: the remote %s may be partial; \"reput %s\" continues it",
                escape_controls(remote).c_str(), escape_controls(resume_words(local, remote)).c_str());
    return r;
}

int delete_remote(ShellState& shell, const std::string& name, int type) {
    RemoteFileEntry e = remote_entry(shell, name, type);
    if (!entries_fit({&e})) return 1;
    return shell_finish(shell, request_delete_list(*shell.session, {std::move(e)}, shell_done, 0, &shell));
}

// Names of the remote folder's files that match a pattern: 0, or 1 when the listing failed or
// every match was skipped. A name without wildcards is taken as given. Listed names are the
// server's: only those that are safe as a name in this folder are acted on (fetched or deleted
// alike), so a listed "../x" or "/etc/x" is never reached through a wildcard.
int remote_matches(ShellState& shell, const std::string& pattern, std::vector<std::string>& names) {
    if (!has_wildcard(pattern)) {
        names.push_back(pattern);
        return 0;
    }
    if (shell_listing(shell) != 0) return 1;
    size_t skipped = 0;
    for (const RemoteFileEntry& e : shell.session->listing) {
        if (e.name == "." || e.name == ".." || !wildcard_match(e.name, pattern)) continue;
        if (e.type == kEntryFolder) {
            outputf(kLevelInfo, "Skipping folder %s: mget fetches files only",
                    escape_controls(e.name).c_str());
            continue;
        }
        if (!is_safe_name(e.name)) {
            outputf(kLevelWarning, "Warning: Skipping \"%s\": not a safe file name",
                    escape_controls(e.name).c_str());
            ++skipped;
            continue;
        }
        names.push_back(e.name);
    }
    return names.empty() && skipped > 0 ? 1 : 0;
}

int local_matches(ShellState& shell, const std::string& pattern, std::vector<std::string>& names) {
    if (!has_wildcard(pattern)) {
        names.push_back(pattern);
        return 0;
    }
    std::string path = shell_resolve_local(shell, pattern);
    size_t slash = path.find_last_of('/');
    std::string folder = path.substr(0, slash + 1), mask = path.substr(slash + 1);
    for (const platform::FolderItem& item : platform::list_folder(folder)) {
        if (!wildcard_match(item.name, mask)) continue;
        if (item.is_folder) {
            outputf(kLevelInfo, "Skipping folder %s: mput sends files only",
                    escape_controls(folder + item.name).c_str());
            continue;
        }
        if (item.is_special) {
            outputf(kLevelWarning, "Warning: Skipping %s: not a regular file",
                    escape_controls(folder + item.name).c_str());
            continue;
        }
        names.push_back(folder + item.name);
    }
    std::sort(names.begin(), names.end());
    return 0;
}

int cmd_open(ShellState& shell, const Words& w) {
    if (shell.connected) {
        output("Already connected. Disconnect from the server first", kLevelWarning);
        shell_read_login_answers(shell);  // its answer lines are answers still, never commands
        shell.answers.clear();
        return 1;
    }
    std::string address;
    if (!argument(shell, w, 1, "To: ", address)) return 1;
    if (looks_like_url(address)) return shell_open_url(shell, address);
    // The answer lines belong to this open whatever becomes of it: read them before anything
    // can fail, so they never run as commands.
    shell_read_login_answers(shell);
    // SFTP listens on its own port; every FTP kind on 21.
    uint32_t port = shell.session->protocol == kProtocolSftp ? 22 : 21;
    std::string host, port_text;
    bool address_ok = split_host_port(address, host, port_text);
    if (port_text.empty() && w.size() > 2) port_text = w[2];
    int r = 1;
    if (!address_ok) {
        outputf(kLevelError, "Error: Invalid address %s", escape_controls(address).c_str());
    } else if (!port_text.empty() && !parse_port(port_text, port)) {
        outputf(kLevelError, "Error: Invalid port %s (1 to 65535)", escape_controls(port_text).c_str());
    } else {
        // The answers read ahead also go in directly, for a protocol that asks no hook; nothing
        // stands in for a missing one.
        r = shell_finish(
            shell, request_connect(*shell.session, host, shell.answers.password, shell.answers.user, port,
                                   ReplyHook{shell_reply_hook, &shell}, shell_done, 0, &shell));
    }
    shell.answers.clear();
    if (r == 0) {
        shell.connected = true;
    } else if (shell.command_file_mode) {
        // What follows an open assumes the connection: a command file stops here.
        shell.quit_requested = true;
    }
    return r;
}

int cmd_bye(ShellState& shell, const Words&) {
    if (!shell.connected) return 0;
    shell.connected = false;
    return shell_finish(shell, request_disconnect(*shell.session, shell_done, 0, &shell));
}

int cmd_disconnect(ShellState& shell, const Words&) {
    shell.connected = false;
    return shell_finish(shell, request_disconnect(*shell.session, shell_done, 0, &shell));
}

// Copies a finished download to standard output; 0 when every byte got there.
int copy_to_stdout(const std::string& path) {
    LocalFile file;
    file.set_path(path);
    if (file.open(platform::kOpenRead) != 0) return 1;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        int64_t n = file.read(buffer.data(), buffer.size());
        if (n < 0) return 1;
        if (n == 0) return 0;
        if (platform::console_write_data(buffer.data(), static_cast<size_t>(n)) != 0) return 1;
    }
}

// `get FILE -`: the file's bytes on standard output and nothing else there (messages go to
// standard error meanwhile). The download lands in a private temporary folder first, so the
// transfer keeps its own rules (resume, size checks) and a failed one writes no partial bytes.
int download_to_stdout(ShellState& shell, const std::string& remote) {
    std::string folder = platform::make_private_temp_folder();
    if (folder.empty()) {
        outputf(kLevelError, "Error: Could not make a temporary folder (%s)",
                platform::last_error_text().c_str());
        return 1;
    }
    std::string path = folder + "/data";
    reserve_stdout_for_data(true);
    int r = download(shell, remote, path, kOverwrite, true);
    if (r == 0 && copy_to_stdout(path) != 0) {
        outputf(kLevelError, "Error: Could not write %s to standard output (%s)",
                escape_controls(remote).c_str(), platform::last_error_text().c_str());
        r = 1;
    }
    reserve_stdout_for_data(false);
    std::string cause;
    platform::delete_item(folder, true, &cause);
    return r;
}

int reget_like(ShellState& shell, const Words& w);
bool take_continue_flag(Words& w);

int cmd_get(ShellState& shell, const Words& words) {
    Words w = words;
    if (take_continue_flag(w)) return reget_like(shell, w);
    if (w.size() > 1 && w[1] == "-r") return shell_get_tree(shell, w);
    std::string remote, local;
    if (!argument(shell, w, 1, "Remote file: ", remote)) return 1;
    if (w.size() == 2)
        local = remote;
    else if (!argument(shell, w, 2, "Local file: ", local))
        return 1;
    if (local == "-") return download_to_stdout(shell, remote);
    return download(shell, remote, local);
}

// `-c` right after the command word: continue rather than replace.
bool take_continue_flag(Words& w) {
    if (w.size() < 2 || w[1] != "-c") return false;
    w.erase(w.begin() + 1);
    return true;
}

int reget_like(ShellState& shell, const Words& w) {
    std::string remote, local;
    if (!argument(shell, w, 1, "Remote file: ", remote)) return 1;
    if (w.size() == 2)
        local = remote;
    else if (!argument(shell, w, 2, "Local file: ", local))
        return 1;
    if (local == "-") {
        output("Error: a download to standard output cannot be continued", kLevelError);
        return 1;
    }
    return download(shell, remote, local, kContinue);
}

int cmd_reget(ShellState& shell, const Words& w) {
    return reget_like(shell, w);
}

int put_like(ShellState& shell, const Words& w, const DuplicateRules& rules) {
    std::string local, remote;
    if (!argument(shell, w, 1, "Local file: ", local)) return 1;
    if (w.size() == 2)
        remote = base_name(platform::normalize_local_path(local));
    else if (!argument(shell, w, 2, "Remote file: ", remote))
        return 1;
    return upload(shell, local, remote, rules);
}

int cmd_put(ShellState& shell, const Words& words) {
    Words w = words;
    if (w.size() > 1 && w[1] == "-r") return shell_put_tree(shell, w);
    bool resume = take_continue_flag(w);
    return put_like(shell, w, resume ? kContinue : kOverwrite);
}
int cmd_append(ShellState& shell, const Words& w) {
    return put_like(shell, w,
                    DuplicateRules{kCompareBySize, kDuplicateResume, kDuplicateResume, kDuplicateResume});
}
int cmd_reput(ShellState& shell, const Words& w) {
    return put_like(shell, w, kContinue);
}

// mget, mput and mdelete act on every argument word, each of which may be a wildcard pattern;
// without arguments they ask for one and act on the answer.
using Matcher = int (*)(ShellState& shell, const std::string& pattern, std::vector<std::string>& names);
// Acts on one matched name; `target` is the answer to the other prompt, used for a single name.
using MatchAction = int (*)(ShellState& shell, const std::string& name, const std::string& target);

// Every name the patterns match, each with the target it goes to: 0, or 1 when a listing failed
// or a pattern matched nothing (the other patterns' names are still given).
using MatchedNames = std::vector<std::pair<std::string, std::string>>;
int matched_names(ShellState& shell, const Words& patterns, const std::string& target, Matcher match,
                  MatchedNames& found) {
    int result = 0;
    for (const std::string& p : patterns) {
        if (p.empty()) continue;
        std::vector<std::string> names;
        if (match(shell, p, names) != 0) {
            result = 1;
            continue;
        }
        if (names.empty()) {
            outputf(kLevelWarning, "No files match %s", p.c_str());
            result = 1;
        }
        for (std::string& name : names)
            found.emplace_back(std::move(name), has_wildcard(p) ? std::string() : target);
    }
    return result;
}

int for_each_match(ShellState& shell, const Words& patterns, const std::string& target, Matcher match,
                   MatchAction act) {
    MatchedNames found;
    int result = matched_names(shell, patterns, target, match, found);
    for (const auto& [name, to] : found) {
        // A Ctrl-C stops the whole command, not only the file it landed on.
        if (shell.interrupted) return 1;
        result |= act(shell, name, to);
    }
    return result;
}

// Runs a Transfer list; the walk may enter another remote folder for a name with a path, so the
// shell's folders are put back afterwards. Files picked by name stand on their own: one that fails
// does not stop the others.
int transfer_pairs(ShellState& shell, std::vector<TransferPair> pairs) {
    Session& s = *shell.session;
    for (const TransferPair& p : pairs)
        if (!entries_fit({&p.local, &p.remote})) return 1;
    std::string remote_folder = s.remote_folder, local_folder = s.local_folder;
    s.independent_files = pairs.size() > 1;
    int r;
    if (pairs.size() == 1) {
        TransferPair& pair = pairs.front();
        std::string name = pair.direction == 1 ? pair.remote.name : pair.local.name;
        uint64_t total = pair.direction == 1 ? 0 : pair.local.size;
        std::string local_path = pair.local.full_path;
        LocalBefore before = shell_local_before(local_path);
        bool down = pair.direction == 1;
        r = shell_finish_transfer(
            shell, request_transfer_list(s, std::move(pairs), kOverwrite, kOverwrite, shell_done, 0, &shell),
            name, total);
        if (r != 0 && down) shell_report_stopped_download(shell, local_path, before, name);
    } else {
        r = shell_finish(
            shell, request_transfer_list(s, std::move(pairs), kOverwrite, kOverwrite, shell_done, 0, &shell));
    }
    s.independent_files = false;
    s.local_folder = local_folder;
    if (s.remote_folder != remote_folder)
        r |= shell_finish(shell, request_change_folder(s, remote_folder, shell_done, 0, &shell));
    return r;
}

TransferPair get_pair(ShellState& shell, const std::string& name, const std::string& target) {
    TransferPair pair;
    pair.direction = 1;
    pair.remote = remote_entry(shell, name);
    pair.remote.name = base_name(pair.remote.full_path);
    pair.local = local_entry(shell, target.empty() ? base_name(name) : target);
    return pair;
}

TransferPair put_pair(ShellState& shell, const std::string& path, const std::string& target) {
    TransferPair pair;
    pair.direction = 0;
    pair.local = local_entry(shell, path);
    pair.remote = remote_entry(shell, target.empty() ? base_name(path) : target);
    pair.remote.name = base_name(pair.remote.full_path);
    return pair;
}

int get_one(ShellState& shell, const std::string& name, const std::string& target) {
    return transfer_pairs(shell, {get_pair(shell, name, target)});
}

int put_one(ShellState& shell, const std::string& path, const std::string& target) {
    return transfer_pairs(shell, {put_pair(shell, path, target)});
}

// With more than one session, the matches of every pattern go as one Transfer list, so that
// several sessions can share them.
using PairMaker = TransferPair (*)(ShellState& shell, const std::string& name, const std::string& target);
int transfer_matches(ShellState& shell, const Words& patterns, const std::string& target, Matcher match,
                     PairMaker make) {
    MatchedNames found;
    int result = matched_names(shell, patterns, target, match, found);
    std::vector<TransferPair> pairs;
    for (const auto& [name, to] : found) pairs.push_back(make(shell, name, to));
    if (!pairs.empty()) result |= transfer_pairs(shell, std::move(pairs));
    return result;
}

int delete_one(ShellState& shell, const std::string& name, const std::string&) {
    return delete_remote(shell, name, kEntryFile);
}

int cmd_mget(ShellState& shell, const Words& w) {
    Words patterns(w.begin() + 1, w.end());
    std::string remote, target;
    if (patterns.empty()) {
        if (!shell_ask(shell, "Remote file: ", remote) || !shell_ask(shell, "Local file: ", target)) return 1;
        patterns.push_back(remote);
    }
    if (shell.parallel > 1) return transfer_matches(shell, patterns, target, remote_matches, get_pair);
    return for_each_match(shell, patterns, target, remote_matches, get_one);
}

int cmd_mput(ShellState& shell, const Words& w) {
    Words patterns(w.begin() + 1, w.end());
    std::string local, target;
    if (patterns.empty()) {
        if (!shell_ask(shell, "Remote file: ", target) || !shell_ask(shell, "Local file: ", local)) return 1;
        patterns.push_back(local);
    }
    if (shell.parallel > 1) return transfer_matches(shell, patterns, target, local_matches, put_pair);
    return for_each_match(shell, patterns, target, local_matches, put_one);
}

int cmd_mdelete(ShellState& shell, const Words& w) {
    Words patterns(w.begin() + 1, w.end());
    std::string remote;
    if (patterns.empty()) {
        if (!shell_ask(shell, "Remote file: ", remote)) return 1;
        patterns.push_back(remote);
    }
    return for_each_match(shell, patterns, {}, remote_matches, delete_one);
}

int cmd_dir(ShellState& shell, const Words& w) {
    return shell_list(shell, w, true);
}

int cmd_ls(ShellState& shell, const Words& w) {
    return shell_list(shell, w, false);
}

int cmd_mkdir(ShellState& shell, const Words& w) {
    std::string folder;
    if (!argument(shell, w, 1, "Directory name: ", folder)) return 1;
    return shell_finish(shell, request_make_folder(*shell.session, folder, shell_done, 0, &shell));
}

int cmd_rmdir(ShellState& shell, const Words& w) {
    std::string folder;
    if (!argument(shell, w, 1, "Directory name: ", folder)) return 1;
    return delete_remote(shell, folder, kEntryFolder);
}

int cmd_rename(ShellState& shell, const Words& w) {
    std::string from, to;
    if (!argument(shell, w, 1, "Old name: ", from) || !argument(shell, w, 2, "New name: ", to)) return 1;
    return shell_finish(shell, request_rename(*shell.session, from, to, shell_done, 0, &shell));
}

int cmd_cd(ShellState& shell, const Words& w) {
    std::string folder;
    if (!argument(shell, w, 1, "Dir name: ", folder)) return 1;
    return shell_finish(shell, request_change_folder(*shell.session, folder, shell_done, 0, &shell));
}

int cmd_pwd(ShellState& shell, const Words&) {
    return shell_finish(shell, request_print_folder(*shell.session, shell_done, 0, &shell));
}

int cmd_delete(ShellState& shell, const Words& w) {
    std::string name;
    if (!argument(shell, w, 1, "Remote file: ", name)) return 1;
    return delete_remote(shell, name, kEntryFile);
}

int cmd_lcd(ShellState& shell, const Words& w) {
    bool failed = false;
    if (w.size() > 1 && !w[1].empty()) {
        std::string folder = shell_resolve_local(shell, w[1]);
        if (folder.back() != '/') folder += '/';
        if (platform::path_is_folder(folder))
            shell.session->local_folder = cut(folder, kPathCapacity);
        else
            failed = true;
    }
    if (failed) outputf(kLevelError, "Error: %s is not a local folder", w[1].c_str());
    outputf(kLevelInfo, "Local directory is %s", shell.session->local_folder.c_str());
    return failed ? 1 : 0;
}

int cmd_ascii(ShellState& shell, const Words&) {
    shell.session->transfer_type = kTransferAscii;
    return 0;
}

int cmd_binary(ShellState& shell, const Words&) {
    shell.session->transfer_type = kTransferBinary;
    return 0;
}

int cmd_type(ShellState& shell, const Words& w) {
    shell.session->transfer_type =
        (w.size() < 2 || iequals(w[1], "ascii")) ? kTransferAscii : kTransferBinary;
    return 0;
}

// quote and literal send the text as a raw command and show the reply.
int cmd_quote(ShellState& shell, const Words& w) {
    std::string text;
    if (w.size() > 1) {
        for (size_t i = 1; i < w.size(); ++i) text += (i > 1 ? " " : "") + w[i];
    } else if (!shell_ask(shell, "Command line to send: ", text)) {
        return 1;
    }
    if (text.empty()) return 1;
    return shell_finish(shell, request_custom_command(*shell.session, text, shell_done, 0, &shell));
}

int switch_protocol(ShellState& shell, int protocol, const char* message) {
    // The new session is not connected, whatever the old one was.
    shell.connected = false;
    if (shell_new_session(shell, protocol) != 0) {
        output("Error: the transfer engine could not be started", kLevelError);
        return 1;
    }
    output(message, kLevelInfo);
    return 0;
}

int cmd_ssl(ShellState& shell, const Words&) {
    return switch_protocol(shell, kProtocolFtpsProtected, "SSL (FTPS) enabled");
}
int cmd_ssh(ShellState& shell, const Words&) {
    return switch_protocol(shell, kProtocolSftp, "SSH (SFTP) enabled");
}
int cmd_nosecure(ShellState& shell, const Words&) {
    return switch_protocol(shell, kProtocolFtp, "Secure FTP disabled");
}

int cmd_help(ShellState&, const Words&) {
    shell_list_commands();
    return 0;
}

const Command kCommands[] = {
    {"open", false, cmd_open,
     "open HOST[:PORT] [PORT] | ftp://, ftps://, sftp://[USER[:PASS]@]HOST[:PORT][/FOLDER]"},
    {"bye", false, cmd_bye, "disconnect (a line beginning with bye, quit or exit ends the program)"},
    {"quit", false, cmd_bye, "the same as bye"},
    {"disconnect", true, cmd_disconnect, "disconnect from the server"},
    {"close", true, cmd_disconnect, "the same as disconnect"},
    {"get", true, cmd_get,
     "get [-c] REMOTE [LOCAL]: download one file (LOCAL \"-\": to standard output; get -r: a tree)"},
    {"recv", true, cmd_get, "the same as get"},
    {"put", true, cmd_put, "put [-c] LOCAL [REMOTE]: upload one file (put -r: a folder tree)"},
    {"send", true, cmd_put, "the same as put"},
    {"append", true, cmd_append, "append LOCAL [REMOTE]: upload, resuming an existing remote file"},
    {"reget", true, cmd_reget,
     "reget REMOTE [LOCAL]: continue a download from the local file's size (get -c)"},
    {"reput", true, cmd_reput,
     "reput LOCAL [REMOTE]: continue an upload from the remote file's size (put -c)"},
    {"mget", true, cmd_mget, "mget PATTERN...: download the matching remote files"},
    {"mput", true, cmd_mput, "mput PATTERN...: upload the matching local files"},
    {"mdelete", true, cmd_mdelete, "mdelete PATTERN...: delete the matching remote files"},
    {"dir", true, cmd_dir, "dir [-OPTIONS] [REMOTE [LOCALFILE]]: the server's long listing"},
    {"ls", true, cmd_ls, "ls [-OPTIONS] [REMOTE [LOCALFILE]]: the names in a remote folder"},
    {"mirror", true, shell_mirror,
     "mirror REMOTE LOCAL: copy what changed in a tree (-R LOCAL REMOTE: upload)"},
    {"mkdir", true, cmd_mkdir, "mkdir FOLDER: make a remote folder"},
    {"rmdir", true, cmd_rmdir, "rmdir FOLDER: remove a remote folder"},
    {"rename", true, cmd_rename, "rename OLD NEW: rename a remote file"},
    {"cd", true, cmd_cd, "cd FOLDER: change the remote folder"},
    {"pwd", true, cmd_pwd, "show the remote folder"},
    {"delete", true, cmd_delete, "delete FILE: delete a remote file"},
    {"lcd", false, cmd_lcd, "lcd [FOLDER]: change or show the local folder"},
    {"ascii", true, cmd_ascii, "transfer as text"},
    {"binary", true, cmd_binary, "transfer byte for byte"},
    {"type", true, cmd_type, "type [ascii|binary]: set the transfer type"},
    {"quote", true, cmd_quote, "quote TEXT: send TEXT to the server as a raw command"},
    {"literal", true, cmd_quote, "the same as quote"},
    {"ssl", false, cmd_ssl, "use FTPS for the next connection"},
    {"ssh", false, cmd_ssh, "use SFTP for the next connection"},
    {"nosecure", false, cmd_nosecure, "use plain FTP for the next connection"},
    {"help", false, cmd_help, "list the commands"},
    {"?", false, cmd_help, "the same as help"},
};

}  // namespace

std::string base_name(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool entries_fit(std::initializer_list<const RemoteFileEntry*> entries) {
    for (const RemoteFileEntry* e : entries)
        if (e->full_path.size() > kPathCapacity || e->name.size() > kPathCapacity) {
            outputf(kLevelError, "Error: A path longer than %zu characters: %s...", kPathCapacity,
                    escape_controls(cut(e->full_path, 60)).c_str());
            return false;
        }
    return true;
}

int shell_execute(ShellState& shell, const std::string& line) {
    shell.error_shown = false;
    shell.interrupted = false;
    Words words = split_shell_words(line);
    if (words.empty()) return 1;
    for (const Command& c : kCommands) {
        if (!iequals(words[0], c.name)) continue;
        if (c.needs_connection && !shell.connected) {
            output("Not Connected", kLevelWarning);
            return 1;
        }
        return c.run(shell, words);
    }
    // Unknown words, and the ftp names that have no action here, are answered alike.
    outputf(kLevelWarning, "%s is an invalid command\n", words[0].c_str());
    return 1;
}

void shell_disconnect(ShellState& shell) {
    if (!shell.connected) return;
    shell.connected = false;
    if (request_disconnect(*shell.session, shell_done, 0, &shell) == 0) shell_wait(shell);
}

std::vector<std::string> shell_command_names() {
    std::vector<std::string> names{"exit"};
    for (const Command& c : kCommands)
        if (c.name[0] != '?') names.push_back(c.name);
    return names;
}

void shell_list_commands() {
    output("Commands (words with blanks go in double quotes):", kLevelInfo);
    for (const Command& c : kCommands) outputf(kLevelInfo, "  %-10s %s", c.name, c.description);
    output("  !TEXT      run TEXT through the system shell; ! alone starts a shell", kLevelInfo);
    output("  exit       end the program", kLevelInfo);
}

}  // namespace orvane
