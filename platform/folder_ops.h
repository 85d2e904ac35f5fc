// Local folder operations: listing with causes, folder creation, deletion that never follows a
// symbolic link, copy, move and rename. Every failure fills *cause with the system's reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"

namespace orvane::platform {

// The items of a folder ("." and ".." left out; symbolic links followed, a dangling one listed as
// a file with the link's own size and time). 0 on success; 1 with the cause when the folder
// cannot be read.
int read_folder(const std::string& folder, std::vector<FolderItem>& items, std::string* cause);

// Creates the folder and every missing parent (mkdir 0777, the umask applies). An existing folder
// is success. 0 on success.
int make_folders(const std::string& path, std::string* cause);

// Deletes a file (folder false) or a folder with everything in it (folder true), its contents
// first. Nothing below the folder is reached through a symbolic link: links are removed as links.
// The first failure stops the walk; the cause then names the item that failed. 0 on success.
int delete_item(const std::string& path, bool folder, std::string* cause);

// Renames (replacing an existing file). 0 on success.
int rename_item(const std::string& from, const std::string& to, std::string* cause);
// Copies a file, or a folder recursively, to exactly `to`, keeping modification and access times
// (as `cp -p` does). An existing folder receives the items (merged); existing files are replaced;
// symbolic links are copied as links. 0 on success. (item_transfer.cpp)
int copy_item(const std::string& from, const std::string& to, std::string* cause);
// Moves by renaming; onto an existing folder, the items are merged into it; across file systems,
// by copying (times kept) and removing the source. 0 on success.
int move_item(const std::string& from, const std::string& to, std::string* cause);

// The full path of the program a command names: a name holding "/" when it is an executable
// regular file, else the first executable match on PATH. Empty when there is none.
std::string find_executable(const std::string& name);

}  // namespace orvane::platform
