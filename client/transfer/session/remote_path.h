// Remote path rules shared by every request: joining to the current folder and normalising.
#pragma once

#include <string>

#include "client/transfer/session/remote_file_entry.h"

namespace orvane {

// "/" in front, "\" read as "/", runs of separators collapsed, no trailing separator (except "/").
// ".." is left as it is: the server resolves it.
std::string normalize_remote_path(const std::string& path);
// Appends path[from..] to `out` with "\\" read as "/", each run of separators as one, and no
// trailing separator (a lone "/" stays): the rule both the remote and the local paths follow.
std::string append_path_components(const std::string& path, size_t from, std::string out);
// A relative path is joined to the folder (when the folder is absolute), then normalised.
std::string join_remote_path(const std::string& path, const std::string& folder);
// The folder part of a remote path: the text before its last "/", or "/".
std::string remote_parent(const std::string& path);
// The name a command gives for an entry: its name alone when it lies in `folder` (or the folder
// is not known), else its full path. A session that never entered the entry's folder (another
// session of a walk that lists by path) must not send a bare name meant for another folder.
std::string command_name(const RemoteFileEntry& e, const std::string& folder);

}  // namespace orvane
