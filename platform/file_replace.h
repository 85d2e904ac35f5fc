// Replacing a file's whole content in one step, so a crash never leaves it half written.
#pragma once

#include <string>

namespace orvane::platform {

// Writes `content` to a new file beside `path`, flushes it to the disk, gives it the old file's
// mode (and owner, when permitted), and renames it over `path`. 0 on success; 1 with the cause
// (the file name and the system's reason) in *error, the old file untouched.
int replace_file(const std::string& path, const std::string& content, std::string* error);

}  // namespace orvane::platform
