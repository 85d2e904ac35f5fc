// Replacing a file's whole content in one step, so a crash never leaves it half written.
#pragma once

#include <string>

namespace orvane::platform {

// Writes `content` to a new file beside `path`, flushes it to the disk, gives it the old file's
// mode (and owner, when permitted), and renames it over `path`. 0 on success; 1 with the cause
// (the file name and the system's reason) in *error, the old file untouched.
int replace_file(const std::string& path, const std::string& content, std::string* error);

// Writes `content` over the file's own bytes (then cuts it to that length and flushes it): what
// a symbolic link points to stays a link's target, and no rights on the folder are needed.
// A crash in between may leave the file half written. 0 on success; 1 with the cause in *error.
int rewrite_file_in_place(const std::string& path, const std::string& content, std::string* error);

// replace_file where the rename keeps what the path is; rewrite_file_in_place when the path is a
// symbolic link or its folder may not be written (a rename would fail, or turn the link into a
// plain file).
int save_file(const std::string& path, const std::string& content, std::string* error);

}  // namespace orvane::platform
