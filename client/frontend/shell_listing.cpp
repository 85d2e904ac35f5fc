// The shell's listings: ls and dir with server options, a remote path and a local file.
#include <functional>
#include <string>
#include <vector>

#include "client/frontend/output.h"
#include "client/frontend/shell.h"
#include "client/transfer/session/requests.h"
#include "common/local_file.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/file.h"

namespace orvane {

namespace {

using Words = std::vector<std::string>;

// What a listing command was asked for: server options ("-la"), a remote path, a local file.
struct ListingAsk {
    std::string options;
    std::string remote;
    std::string local;
    bool long_lines = false;
};

int fetch_listing(ShellState& shell, const ListingAsk& ask) {
    return shell_fetch_listing(shell, ask.options, ask.remote, ask.long_lines,
                               [&shell](int started) { return shell_finish(shell, started); });
}

// The lines on standard output (data), and into the local file when one is named. The server's
// text is escaped for the screen, one line whatever it holds; the file gets it as sent.
int show_listing(ShellState& shell, const ListingAsk& ask) {
    LocalFile file;
    if (!ask.local.empty()) {
        file.set_path(shell_resolve_local(shell, ask.local));
        if (file.open(platform::kOpenWrite) != 0) {
            outputf(kLevelError, "Error: Could not open local file %s", escape_controls(ask.local).c_str());
            return 1;
        }
    }
    for (const RemoteFileEntry& e : shell.session->listing) {
        const std::string& line = e.long_name.empty() || !ask.long_lines ? e.name : e.long_name;
        output(escape_controls(line), kLevelData);
        if (!ask.local.empty()) file.write(line + "\r\n");
    }
    return 0;
}

}  // namespace

int shell_fetch_listing(ShellState& shell, const std::string& options, const std::string& remote,
                        bool long_lines, const std::function<int(int started)>& finish) {
    Session& s = *shell.session;
    if (s.protocol == kProtocolSftp) {
        if (remote.empty()) return finish(request_listing(s, shell_done, 0, &shell));
        std::string back = s.remote_folder;
        int r = finish(request_change_folder(s, remote, shell_done, 0, &shell));
        if (r != 0) return r;
        r = finish(request_listing(s, shell_done, 0, &shell));
        r |= finish(request_change_folder(s, back, shell_done, 0, &shell));
        return r;
    }
    // A long listing asks for LIST lines whatever the name-list setting is.
    int kind = s.listing_kind;
    if (long_lines) s.listing_kind = 0;
    s.listing_argument = options;
    if (!remote.empty()) s.listing_argument += (s.listing_argument.empty() ? "" : " ") + remote;
    int r = finish(request_listing(s, shell_done, 0, &shell));
    s.listing_argument.clear();
    s.listing_kind = kind;
    return r;
}

// ls and dir: "-" words are the server's listing options; then a remote path and a local file.
// A lone word is a remote path when the server lists it; otherwise it is the old form's local
// file for the current folder's listing, which never replaces a local file and, in a command
// file, is refused: there an unknown remote name must not turn into a new local file.
int shell_list(ShellState& shell, const Words& w, bool long_lines) {
    ListingAsk ask;
    ask.long_lines = long_lines;
    Words rest;
    for (size_t i = 1; i < w.size(); ++i) {
        if (w[i].empty()) continue;
        if (w[i][0] == '-')
            ask.options += (ask.options.empty() ? "" : " ") + w[i];
        else
            rest.push_back(w[i]);
    }
    if (rest.size() > 2) {
        outputf(kLevelError, "Error: %s takes a remote path and a local file at most", w[0].c_str());
        return 1;
    }
    if (!rest.empty() && rest[0] != ".") ask.remote = rest[0];
    if (rest.size() == 2) ask.local = rest[1];
    if (rest.size() != 1) {
        int r = fetch_listing(shell, ask);
        return r != 0 ? r : show_listing(shell, ask);
    }
    shell.error_shown = true;  // a refusal here only says the word is no remote path
    if (fetch_listing(shell, ask) == 0 && !shell.session->listing.empty()) return show_listing(shell, ask);
    std::string name = rest[0];
    std::string hint = format("use `%s . FILE` to write a listing to a file", w[0].c_str());
    if (shell.command_file_mode) {
        outputf(kLevelError, "Error: %s is not a remote path; nothing was written: %s",
                escape_controls(name).c_str(), hint.c_str());
        return 1;
    }
    if (platform::path_exists(shell_resolve_local(shell, name))) {
        outputf(kLevelError, "Error: %s is not a remote path, and the local file %s is never replaced: %s",
                escape_controls(name).c_str(), escape_controls(name).c_str(), hint.c_str());
        return 1;
    }
    ask.remote.clear();
    ask.local = name;
    int r = fetch_listing(shell, ask);
    return r != 0 ? r : show_listing(shell, ask);
}

}  // namespace orvane
