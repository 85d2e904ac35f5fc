// Local path resolution: joined, "\" read as "/", normalised lexically before any file-system use.
#include "client/actions/local_paths.h"

#include <vector>

#include "common/limits.h"

namespace orvane {

std::string normalize_path_text(std::string_view path) {
    std::string text(path);
    for (char& c : text)
        if (c == '\\') c = '/';
    bool absolute = !text.empty() && text[0] == '/';
    std::vector<std::string_view> parts;
    std::string_view rest = text;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
                continue;
            }
            if (absolute) continue;  // the root's parent is the root
        }
        parts.push_back(part);
    }
    std::string out = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += '/';
        out += parts[i];
    }
    return out;
}

std::string resolve_local_path(std::string_view folder, std::string_view path) {
    bool absolute = !path.empty() && (path[0] == '/' || path[0] == '\\');
    if (absolute) return normalize_path_text(path);
    std::string joined(folder);
    joined += '/';
    joined += path;
    return normalize_path_text(joined);
}

bool local_path_valid(std::string_view resolved) {
    return !resolved.empty() && resolved[0] == '/' && resolved.size() <= kPathCapacity;
}

std::string_view last_component(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string parent_of(std::string_view path) {
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return {};
    return slash == 0 ? std::string("/") : std::string(path.substr(0, slash));
}

bool has_wildcards(std::string_view name) {
    return name.find_first_of("*?") != std::string_view::npos;
}

}  // namespace orvane
