// Member names to relative paths: separators, refused forms, capacity.
#include "client/actions/member_path.h"

#include "common/limits.h"
#include "common/safe_name.h"
#include "common/text.h"

namespace orvane {

MemberPath member_path(std::string_view name, std::string& relative) {
    relative.clear();
    if (name.empty()) return MemberPath::kEmpty;
    if (name.front() == '/' || name.front() == '\\') return MemberPath::kUnsafe;
    if (name.size() >= 2 && name[1] == ':') return MemberPath::kUnsafe;  // a drive: absolute elsewhere
    bool folder = name.back() == '/' || name.back() == '\\';
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = name.size();
        std::string_view part = name.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (!is_safe_name(part)) return MemberPath::kUnsafe;  // "..", controls
        if (!relative.empty()) relative += '/';
        relative += part;
        if (relative.size() > kPathCapacity) return MemberPath::kUnsafe;
    }
    if (relative.empty()) return MemberPath::kEmpty;
    return folder ? MemberPath::kFolder : MemberPath::kFile;
}

std::string shown_member_name(std::string_view name) {
    return escape_controls(name.substr(0, kPathCapacity));
}

}  // namespace orvane
