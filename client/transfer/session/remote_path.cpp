// Remote path rules shared by every request: joining to the current folder and normalising.
#include "client/transfer/session/remote_path.h"

namespace orvane {

std::string append_path_components(const std::string& path, size_t from, std::string out) {
    bool separator = !out.empty() && out.back() == '/';
    for (size_t i = from; i < path.size(); ++i) {
        char ch = path[i] == '\\' ? '/' : path[i];
        if (ch == '/') {
            if (!separator) out.push_back('/');
            separator = true;
        } else {
            out.push_back(ch);
            separator = false;
        }
    }
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::string normalize_remote_path(const std::string& path) {
    size_t i = 0;
    // Spaces before the first separator and the leading run of separators give one "/".
    size_t j = 0;
    while (j < path.size() && path[j] == ' ') ++j;
    if (j < path.size() && (path[j] == '/' || path[j] == '\\')) i = j;
    return append_path_components(path, i, "/");
}

std::string join_remote_path(const std::string& path, const std::string& folder) {
    if (!path.empty() && path[0] != '/' && !folder.empty() && folder[0] == '/') {
        std::string joined = folder;
        if (joined.back() != '/') joined.push_back('/');
        return normalize_remote_path(joined + path);
    }
    return normalize_remote_path(path);
}

std::string remote_parent(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string command_name(const RemoteFileEntry& e, const std::string& folder) {
    if (e.full_path.empty()) return e.name;
    if (!e.name.empty() && e.name.find('/') == std::string::npos &&
        (folder.empty() || remote_parent(e.full_path) == normalize_remote_path(folder)))
        return e.name;
    return e.full_path;
}

}  // namespace orvane
