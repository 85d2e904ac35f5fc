// Local path rules shared by every request: normalising, joining, resolving "..", and the local
// folder operations of the walks (enter, create with parents, list).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/transfer/session/session.h"

namespace orvane {

// "\" read as "/", spaces before a leading separator dropped, a leading run of separators kept as one "/",
// runs of separators collapsed, no trailing separator (except "/"). "." and ".." are left as they are.
std::string normalize_local_path(const std::string& path);
// A relative path is joined to the folder when the folder is absolute, then normalised.
std::string join_local_path(const std::string& path, const std::string& folder);
// Removes "." components, and every ".." with the component before it (never above "/").
std::string resolve_local_dots(const std::string& path);

// Joins the path to the session's local folder and resolves ".."; when that names an existing
// folder it becomes the current local folder (0), otherwise 1 and nothing changes.
int change_local_folder(Session& s, const std::string& path);
// Creates the folder and its missing parents. 0 when it is a folder afterwards; otherwise 1 with
// errno left set for the message.
int create_local_folder(const std::string& path);
// The folder's files (type 0) and folders (type 1), symbolic links followed, with name, size and
// last-write time; `total` receives the sum of their sizes. FIFOs, sockets and devices are left
// out, their names in `special`. 1 (errno set) when it cannot be read.
int list_local_folder(const std::string& path, std::vector<RemoteFileEntry>& entries, uint64_t& total,
                      std::vector<std::string>& special);

}  // namespace orvane
