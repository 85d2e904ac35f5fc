// A folder that writes stay inside: folders and files are made below it by relative paths, and a
// path that would leave it (through "..", an absolute name or a symbolic link that points out) is
// refused. Archive extraction writes through it, so a hostile archive cannot reach other files.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace orvane::platform {

class ConfinedFolder {
  public:
    ConfinedFolder() = default;
    ~ConfinedFolder();
    ConfinedFolder(const ConfinedFolder&) = delete;
    ConfinedFolder& operator=(const ConfinedFolder&) = delete;

    // Opens the root (which must exist and be a folder). 0 on success, else 1 with the cause.
    int open(const std::string& root, std::string* cause);

    // `relative` is a path of plain components separated by "/" (the caller has refused "..",
    // "." and empty components). Symbolic links met on the way are followed only while they stay
    // below the root; one that leads out makes the call fail with EXDEV's text ("Invalid
    // cross-device link") or "symbolic link". Where the system cannot check a link's target, every
    // link is refused.

    // Creates the folder and its missing parents below the root. 0 on success.
    int make_folders(const std::string& relative, std::string* cause);
    // Creates or truncates a regular file for writing (its parents must exist). The handle, or
    // kInvalidFile with the cause. Something else of that name (a fifo, a device) is never opened
    // for writing, and neither is the protected file.
    FileHandle create_file(const std::string& relative, std::string* cause);

    // Marks an existing file (the archive being read) as one that create_file must refuse.
    void protect(const std::string& path);

  private:
    // A descriptor for `relative` below the root, opened with `flags`; -1 with errno set.
    int open_below(const std::string& relative, int flags, int mode);

    int root_ = -1;
    bool protected_ = false;
    uint64_t protected_device_ = 0;
    uint64_t protected_inode_ = 0;
};

// Closes a file written through it: 0, or the error number of a write failure that close()
// reports late.
int close_written_file(FileHandle h);

}  // namespace orvane::platform
