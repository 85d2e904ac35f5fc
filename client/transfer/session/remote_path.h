// Remote path rules shared by every request: joining to the current folder and normalising.
#pragma once

#include <string>

namespace orvane {

// "/" in front, "\" read as "/", runs of separators collapsed, no trailing separator (except "/").
// ".." is left as it is: the server resolves it.
std::string normalize_remote_path(const std::string& path);
// A relative path is joined to the folder (when the folder is absolute), then normalised.
std::string join_remote_path(const std::string& path, const std::string& folder);

}  // namespace orvane
