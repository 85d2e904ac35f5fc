// Local path rules shared by every request, and the local folder operations of the walks.
#include "client/transfer/session/local_path.h"

#include <cerrno>

#include "client/transfer/session/remote_path.h"
#include "platform/file.h"

namespace orvane {

std::string normalize_local_path(const std::string& path) {
    // Spaces before a leading separator go with it; a name may begin with spaces of its own.
    size_t i = 0;
    while (i < path.size() && path[i] == ' ') ++i;
    if (i == path.size() || (path[i] != '/' && path[i] != '\\')) i = 0;
    return append_path_components(path, i, std::string());
}

std::string join_local_path(const std::string& path, const std::string& folder) {
    std::string p = normalize_local_path(path);
    if (!p.empty() && p[0] == '/') return p;
    std::string f = normalize_local_path(folder);
    if (f.empty() || f[0] != '/') return p;
    if (p.empty()) return f;
    return f == "/" ? "/" + p : f + "/" + p;
}

std::string resolve_local_dots(const std::string& path) {
    std::string p = normalize_local_path(path);
    bool absolute = !p.empty() && p[0] == '/';
    std::vector<std::string> parts;
    size_t at = absolute ? 1 : 0;
    while (at <= p.size()) {
        size_t end = p.find('/', at);
        if (end == std::string::npos) end = p.size();
        std::string part = p.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else if (!absolute)
                parts.push_back(part);
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string out = absolute ? "/" : "";
    for (size_t k = 0; k < parts.size(); ++k) {
        if (k > 0) out.push_back('/');
        out += parts[k];
    }
    return out.empty() ? "." : out;
}

int change_local_folder(Session& s, const std::string& path) {
    std::string folder = resolve_local_dots(join_local_path(path, s.local_folder));
    if (!platform::path_is_folder(folder)) return 1;
    s.local_folder = folder;
    return 0;
}

int create_local_folder(const std::string& path) {
    std::string p = normalize_local_path(path);
    if (p.empty()) {
        errno = ENOENT;
        return 1;
    }
    // Every prefix that ends before a separator, then the whole path; "/" itself is never made.
    for (size_t at = p.find('/', 1);; at = p.find('/', at + 1)) {
        std::string part = p.substr(0, at);
        if (!platform::path_exists(part) && platform::make_folder(part) != 0 && errno != EEXIST) return 1;
        if (at == std::string::npos) break;
    }
    if (platform::path_is_folder(p)) return 0;
    errno = ENOTDIR;
    return 1;
}

int list_local_folder(const std::string& path, std::vector<RemoteFileEntry>& entries, uint64_t& total,
                      std::vector<std::string>& special) {
    std::vector<platform::FolderItem> items;
    total = 0;
    entries.clear();
    special.clear();
    if (platform::read_folder(path, items) != 0) return 1;
    entries.reserve(items.size());
    for (platform::FolderItem& item : items) {
        if (item.is_special) {
            special.push_back(std::move(item.name));
            continue;
        }
        RemoteFileEntry e;
        e.name = std::move(item.name);
        e.type = item.is_folder ? kEntryFolder : kEntryFile;
        e.size = item.is_folder ? 0 : item.size;
        e.file_time = item.last_write_time;
        total += e.size;
        entries.push_back(std::move(e));
    }
    return 0;
}

}  // namespace orvane
