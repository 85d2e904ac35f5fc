// Whole folder trees in the shell: get -r, put -r and mirror hand one folder pair to the folder
// walks the scripts use, so trees move by the same rules (safe names, links, resume) either way.
#include "client/frontend/output.h"
#include "client/frontend/shell.h"
#include "client/transfer/session/remote_path.h"
#include "client/transfer/session/requests.h"
#include "common/limits.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/system.h"

namespace orvane {

namespace {

std::string last_component(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return base_name(path);
}

int transfer_tree(ShellState& shell, int direction, const std::string& remote, const std::string& local,
                  const DuplicateRules& rules) {
    Session& s = *shell.session;
    std::string local_path = shell_resolve_local(shell, local);
    std::string remote_path = join_remote_path(remote, s.remote_folder);
    TransferPair pair;
    pair.direction = direction;
    pair.local.full_path = local_path;
    pair.local.name = last_component(local_path);
    pair.local.type = kEntryFolder;
    pair.remote.name = remote;
    pair.remote.full_path = remote_path;
    pair.remote.type = kEntryFolder;
    if (!entries_fit({&pair.local, &pair.remote})) return 1;
    // The walk enters the folders it copies: the shell's own folders are put back afterwards.
    std::string remote_folder = s.remote_folder, local_folder = s.local_folder;
    // Only the long listing tells folders from files; bare names (NLST) would send a folder to RETR.
    int listing_kind = s.listing_kind;
    s.listing_kind = 0;
    int r =
        shell_finish(shell, request_transfer_list(s, {std::move(pair)}, rules, rules, shell_done, 0, &shell));
    s.listing_kind = listing_kind;
    s.local_folder = local_folder;
    if (s.remote_folder != remote_folder)
        r |= shell_finish(shell, request_change_folder(s, remote_folder, shell_done, 0, &shell));
    return r;
}

// The target's default name is the source's own last name, which must be usable as one name.
bool default_target(const std::string& source, std::string& target) {
    target = last_component(source);
    if (is_safe_name(target)) return true;
    outputf(kLevelError, "Error: \"%s\" cannot name the copy: give the target folder",
            escape_controls(source).c_str());
    return false;
}

constexpr DuplicateRules kOverwriteAll{kCompareBySize, kDuplicateOverwrite, kDuplicateOverwrite,
                                       kDuplicateOverwrite};
// A mirror copies what changed: every transfer sets the target's time to the source's, so a file
// whose time still matches is the same file and is skipped.
constexpr DuplicateRules kMirrorRules{kCompareByDate, kDuplicateOverwrite, kDuplicateSkip,
                                      kDuplicateOverwrite};

}  // namespace

// get -r REMOTE [LOCAL]
int shell_get_tree(ShellState& shell, const std::vector<std::string>& words) {
    if (words.size() < 3 || words[2].empty()) {
        output("Error: usage: get -r REMOTE-FOLDER [LOCAL-FOLDER]", kLevelError);
        return 1;
    }
    std::string local;
    if (words.size() > 3)
        local = words[3];
    else if (!default_target(words[2], local))
        return 1;
    return transfer_tree(shell, 1, words[2], local, kOverwriteAll);
}

// put -r LOCAL [REMOTE]
int shell_put_tree(ShellState& shell, const std::vector<std::string>& words) {
    if (words.size() < 3 || words[2].empty()) {
        output("Error: usage: put -r LOCAL-FOLDER [REMOTE-FOLDER]", kLevelError);
        return 1;
    }
    std::string remote;
    if (words.size() > 3)
        remote = words[3];
    else if (!default_target(platform::normalize_local_path(words[2]), remote))
        return 1;
    return transfer_tree(shell, 0, remote, words[2], kOverwriteAll);
}

// mirror REMOTE LOCAL downloads a tree; mirror -R LOCAL REMOTE uploads one (source first, as lftp).
int shell_mirror(ShellState& shell, const std::vector<std::string>& words) {
    bool upload = words.size() > 1 && words[1] == "-R";
    size_t first = upload ? 2 : 1;
    if (words.size() != first + 2 || words[first].empty() || words[first + 1].empty()) {
        output("Error: usage: mirror REMOTE-FOLDER LOCAL-FOLDER, or mirror -R LOCAL-FOLDER REMOTE-FOLDER",
               kLevelError);
        return 1;
    }
    if (upload) return transfer_tree(shell, 0, words[first + 1], words[first], kMirrorRules);
    return transfer_tree(shell, 1, words[first], words[first + 1], kMirrorRules);
}

}  // namespace orvane
