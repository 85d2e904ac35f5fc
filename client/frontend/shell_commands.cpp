// The shell's commands: lookup, argument prompts, and one request per command on the session.
#include <algorithm>
#include <vector>

#include "client/actions/wildcard.h"
#include "client/frontend/output.h"
#include "client/frontend/shell.h"
#include "client/frontend/shell_words.h"
#include "client/transfer/session/remote_path.h"
#include "client/transfer/session/requests.h"
#include "common/limits.h"
#include "common/local_file.h"
#include "common/text.h"
#include "platform/file.h"
#include "platform/system.h"

namespace orvane {

namespace {

using Words = std::vector<std::string>;
using CommandFn = int (*)(ShellState& shell, const Words& words);

struct Command {
    const char* name;
    bool needs_connection;
    CommandFn run;
};

// The word at index i, or the answer to the prompt when the line has no such word.
bool argument(ShellState& shell, const Words& words, size_t i, const char* prompt, std::string& out) {
    if (i < words.size()) {
        out = words[i];
        return true;
    }
    return shell_ask(shell, prompt, out);
}

std::string base_name(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A local name is absolute when it begins with "/" (a "\" counts as "/"); any other is taken
// relative to the session's local folder.
std::string resolve_local(const ShellState& shell, const std::string& name) {
    std::string p = platform::normalize_local_path(name);
    if (!p.empty() && p[0] == '/') return p;
    std::string folder = shell.session->local_folder;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder + p;
}

RemoteFileEntry local_entry(const ShellState& shell, const std::string& name) {
    RemoteFileEntry e;
    e.full_path = cut(resolve_local(shell, name), kPathCapacity);
    e.name = cut(base_name(e.full_path), kPathCapacity);
    int64_t size = platform::path_size(e.full_path);
    if (size > 0) e.size = static_cast<uint64_t>(size);
    e.file_time = platform::path_last_write_time(e.full_path);
    return e;
}

RemoteFileEntry remote_entry(const ShellState& shell, const std::string& name, int type = kEntryFile) {
    RemoteFileEntry e;
    e.name = cut(name, kPathCapacity);
    e.full_path = cut(join_remote_path(name, shell.session->remote_folder), kPathCapacity);
    e.type = type;
    return e;
}

bool has_wildcard(const std::string& word) {
    return word.find_first_of("*?[") != std::string::npos;
}

// Runs a started request to its end; 1 when the session was busy.
int finish(ShellState& shell, int started) {
    return started != 0 ? 1 : shell_wait(shell);
}

int download(ShellState& shell, const std::string& remote, const std::string& local) {
    shell.session->download_rules =
        DuplicateRules{kCompareBySize, kDuplicateOverwrite, kDuplicateOverwrite, kDuplicateOverwrite};
    return finish(shell, request_download(*shell.session, local_entry(shell, local),
                                          remote_entry(shell, remote), shell_done, 0, &shell));
}

int upload(ShellState& shell, const std::string& local, const std::string& remote, DuplicateAction action) {
    shell.session->upload_rules = DuplicateRules{kCompareBySize, action, action, action};
    return finish(shell, request_upload(*shell.session, local_entry(shell, local),
                                        remote_entry(shell, remote), shell_done, 0, &shell));
}

int delete_remote(ShellState& shell, const std::string& name, int type) {
    return finish(
        shell, request_delete_list(*shell.session, {remote_entry(shell, name, type)}, shell_done, 0, &shell));
}

int listing(ShellState& shell) {
    return finish(shell, request_listing(*shell.session, shell_done, 0, &shell));
}

// Names of the remote folder's files that match a pattern.
std::vector<std::string> remote_matches(ShellState& shell, const std::string& pattern) {
    std::vector<std::string> names;
    if (!has_wildcard(pattern)) return {pattern};
    if (listing(shell) != 0) return names;
    for (const RemoteFileEntry& e : shell.session->listing)
        if (e.type != kEntryFolder && wildcard_match(e.name, pattern)) names.push_back(e.name);
    return names;
}

std::vector<std::string> local_matches(ShellState& shell, const std::string& pattern) {
    if (!has_wildcard(pattern)) return {pattern};
    std::string path = resolve_local(shell, pattern);
    size_t slash = path.find_last_of('/');
    std::string folder = path.substr(0, slash + 1), mask = path.substr(slash + 1);
    std::vector<std::string> names;
    for (const platform::FolderItem& item : platform::list_folder(folder))
        if (!item.is_folder && wildcard_match(item.name, mask)) names.push_back(folder + item.name);
    std::sort(names.begin(), names.end());
    return names;
}

int cmd_open(ShellState& shell, const Words& w) {
    if (shell.connected) {
        output("Already connected. Disconnect from the server first", kLevelWarning);
        return 1;
    }
    std::string host;
    if (!argument(shell, w, 1, "To: ", host)) return 1;
    uint32_t port =
        w.size() > 2 ? static_cast<uint32_t>(parse_decimal_prefix_saturating(w[2], UINT32_MAX)) : 21;
    int r = finish(shell, request_connect(*shell.session, host, "zorp", "zorp", port,
                                          ReplyHook{shell_reply_hook, &shell}, shell_done, 0, &shell));
    if (r == 0) shell.connected = true;
    return r;
}

int cmd_bye(ShellState& shell, const Words&) {
    if (!shell.connected) return 0;
    shell.connected = false;
    return finish(shell, request_disconnect(*shell.session, shell_done, 0, &shell));
}

int cmd_disconnect(ShellState& shell, const Words&) {
    shell.connected = false;
    return finish(shell, request_disconnect(*shell.session, shell_done, 0, &shell));
}

int cmd_get(ShellState& shell, const Words& w) {
    std::string remote, local;
    if (!argument(shell, w, 1, "Remote file: ", remote)) return 1;
    if (w.size() == 2)
        local = remote;
    else if (!argument(shell, w, 2, "Local file: ", local))
        return 1;
    return download(shell, remote, local);
}

int put_like(ShellState& shell, const Words& w, DuplicateAction action) {
    std::string local, remote;
    if (!argument(shell, w, 1, "Local file: ", local)) return 1;
    if (w.size() == 2)
        remote = base_name(platform::normalize_local_path(local));
    else if (!argument(shell, w, 2, "Remote file: ", remote))
        return 1;
    return upload(shell, local, remote, action);
}

int cmd_put(ShellState& shell, const Words& w) {
    return put_like(shell, w, kDuplicateOverwrite);
}
int cmd_append(ShellState& shell, const Words& w) {
    return put_like(shell, w, kDuplicateResume);
}

// mget, mput and mdelete act on every argument word, each of which may be a wildcard pattern;
// without arguments they ask for one and act on the answer.
using Matcher = std::vector<std::string> (*)(ShellState& shell, const std::string& pattern);
// Acts on one matched name; `target` is the answer to the other prompt, used for a single name.
using MatchAction = int (*)(ShellState& shell, const std::string& name, const std::string& target);

int for_each_match(ShellState& shell, const Words& patterns, const std::string& target, Matcher match,
                   MatchAction act) {
    int result = 0;
    for (const std::string& p : patterns) {
        if (p.empty()) continue;
        std::vector<std::string> names = match(shell, p);
        if (names.empty()) result = 1;
        for (const std::string& name : names)
            result |= act(shell, name, has_wildcard(p) ? std::string() : target);
    }
    return result;
}

int get_one(ShellState& shell, const std::string& name, const std::string& target) {
    return download(shell, name, target.empty() ? base_name(name) : target);
}

int put_one(ShellState& shell, const std::string& path, const std::string& target) {
    return upload(shell, path, target.empty() ? base_name(path) : target, kDuplicateOverwrite);
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
    return for_each_match(shell, patterns, target, remote_matches, get_one);
}

int cmd_mput(ShellState& shell, const Words& w) {
    Words patterns(w.begin() + 1, w.end());
    std::string local, target;
    if (patterns.empty()) {
        if (!shell_ask(shell, "Remote file: ", target) || !shell_ask(shell, "Local file: ", local)) return 1;
        patterns.push_back(local);
    }
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
    int r = listing(shell);
    if (r != 0) return r;
    LocalFile file;
    bool to_file = w.size() > 1 && !w[1].empty();
    if (to_file) {
        file.set_path(resolve_local(shell, w[1]));
        if (file.open(platform::kOpenWrite) != 0) {
            outputf(kLevelError, "Error: Could not open local file %s", w[1].c_str());
            to_file = false;
            r = 1;
        }
    }
    for (const RemoteFileEntry& e : shell.session->listing) {
        const std::string& line = e.long_name.empty() ? e.name : e.long_name;
        output(line, kLevelInfo);
        if (to_file) file.write(line + "\r\n");
    }
    return r;
}

int cmd_mkdir(ShellState& shell, const Words& w) {
    std::string folder;
    if (!argument(shell, w, 1, "Directory name: ", folder)) return 1;
    return finish(shell, request_make_folder(*shell.session, folder, shell_done, 0, &shell));
}

int cmd_rmdir(ShellState& shell, const Words& w) {
    std::string folder;
    if (!argument(shell, w, 1, "Directory name: ", folder)) return 1;
    return delete_remote(shell, folder, kEntryFolder);
}

int cmd_rename(ShellState& shell, const Words& w) {
    std::string from, to;
    if (!argument(shell, w, 1, "Old name: ", from) || !argument(shell, w, 2, "New name: ", to)) return 1;
    return finish(shell, request_rename(*shell.session, from, to, shell_done, 0, &shell));
}

int cmd_cd(ShellState& shell, const Words& w) {
    std::string folder;
    if (!argument(shell, w, 1, "Dir name: ", folder)) return 1;
    return finish(shell, request_change_folder(*shell.session, folder, shell_done, 0, &shell));
}

int cmd_pwd(ShellState& shell, const Words&) {
    return finish(shell, request_print_folder(*shell.session, shell_done, 0, &shell));
}

int cmd_delete(ShellState& shell, const Words& w) {
    std::string name;
    if (!argument(shell, w, 1, "Remote file: ", name)) return 1;
    return delete_remote(shell, name, kEntryFile);
}

int cmd_lcd(ShellState& shell, const Words& w) {
    if (w.size() > 1 && !w[1].empty()) {
        std::string folder = resolve_local(shell, w[1]);
        if (folder.back() != '/') folder += '/';
        if (platform::path_is_folder(folder))
            shell.session->local_folder = cut(folder, kPathCapacity);
        else
            outputf(kLevelError, "Error: %s is not a local folder", w[1].c_str());
    }
    outputf(kLevelInfo, "Local directory is %s", shell.session->local_folder.c_str());
    return 0;
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
    return finish(shell, request_custom_command(*shell.session, text, shell_done, 0, &shell));
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

const Command kCommands[] = {
    {"open", false, cmd_open},
    {"bye", false, cmd_bye},
    {"quit", false, cmd_bye},
    {"disconnect", true, cmd_disconnect},
    {"close", true, cmd_disconnect},
    {"get", true, cmd_get},
    {"recv", true, cmd_get},
    {"put", true, cmd_put},
    {"send", true, cmd_put},
    {"append", true, cmd_append},
    {"mget", true, cmd_mget},
    {"mput", true, cmd_mput},
    {"mdelete", true, cmd_mdelete},
    {"dir", true, cmd_dir},
    {"ls", true, cmd_dir},
    {"mkdir", true, cmd_mkdir},
    {"rmdir", true, cmd_rmdir},
    {"rename", true, cmd_rename},
    {"cd", true, cmd_cd},
    {"pwd", true, cmd_pwd},
    {"delete", true, cmd_delete},
    {"lcd", false, cmd_lcd},
    {"ascii", true, cmd_ascii},
    {"binary", true, cmd_binary},
    {"type", true, cmd_type},
    {"quote", true, cmd_quote},
    {"literal", true, cmd_quote},
    {"ssl", false, cmd_ssl},
    {"ssh", false, cmd_ssh},
    {"nosecure", false, cmd_nosecure},
};

}  // namespace

int shell_execute(ShellState& shell, const std::string& line) {
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

}  // namespace orvane
