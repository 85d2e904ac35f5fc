// The local folder actions of scripts: set the current local folder, list it, make, delete and
// rename items. Each writes its messages through the output sink and returns 0 on success.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// One entry of a local folder listing, with the texts a script list holds.
struct LocalEntry {
    std::string name;
    std::string modification_time;  // timestamp text of the last-write time (UTC)
    std::string size;               // decimal; empty for a folder
    bool is_folder = false;
};

// Sets `folder` to the resolved path when it names a readable folder; else it keeps its value.
int local_set_path(std::string& folder, std::string_view path);
// The entries of `folder` in the order the system returns them.
int local_get_list(const std::string& folder, std::vector<LocalEntry>& entries);
// Creates the folder and its missing parents; an existing folder is success.
int local_make_folder(const std::string& folder, std::string_view path);
// Deletes a file, or a folder with its contents (symbolic links inside are removed, never followed).
int local_delete(const std::string& folder, bool is_folder, std::string_view path);
// Renames an item (the new name is resolved against `folder` too).
int local_rename(const std::string& folder, std::string_view from, std::string_view to);

}  // namespace orvane
