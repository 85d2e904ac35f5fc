// The one rule that turns an archive member's name into a path below the destination folder.
// Archives come from servers: a name may try to climb out ("../x", "/etc/x", "C:\x") or carry
// control characters; such a member is refused, never cleaned into something else.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

enum class MemberPath : int {
    kFile,    // `relative` names a file
    kFolder,  // `relative` names a folder (the name ended in a separator)
    kEmpty,   // nothing left after "." and empty components: nothing to extract
    kUnsafe,  // absolute, a ".." component, a drive prefix, an unsafe component or too long
};

// Reads "/" and "\" as separators, drops empty and "." components and joins the rest with "/".
// Every component must pass is_safe_name(); the result must fit kPathCapacity.
MemberPath member_path(std::string_view name, std::string& relative);

// The member's name as it may be shown in a message: control characters escaped, cut to a path.
std::string shown_member_name(std::string_view name);

}  // namespace orvane
