// A folder that writes stay inside: folders and files are made below it by relative paths, and a
// path that would leave it (through "..", an absolute name or a symbolic link that points out) is
// refused. Archive extraction writes through it, so a hostile archive cannot reach other files.
#pragma once

#include <cstddef>
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

    // A file is written under a name of its own in its folder and takes its real name only once it
    // is whole, so a failure never leaves a partial file, or an emptied older one, under that name.
    // create_temporary makes that new file (with `mode`, the umask applied) beside `relative`, whose
    // folder must exist, and returns it with its path in `temporary`; replace gives it the real
    // name. Both refuse when that name is taken by anything but a regular file other than the
    // protected one (the checks of create_file; a symbolic link there is refused rather than
    // followed or replaced). The folder last used stays open for the next file in it.
    FileHandle create_temporary(const std::string& relative, uint32_t mode, std::string& temporary,
                                std::string* cause);
    int replace(const std::string& temporary, const std::string& relative, std::string* cause);
    // Removes a file below the root (a missing one is no failure).
    void remove_file(const std::string& relative);
    // Opens an existing regular file below the root for reading. The handle or kInvalidFile.
    FileHandle open_file(const std::string& relative, std::string* cause);

  private:
    // A descriptor for `relative` below the root, opened with `flags`; -1 with errno set.
    int open_below(const std::string& relative, int flags, int mode);
    // The folder holding `relative`, opened below the root (and kept open: the next member is
    // likely in it too), and the last component. -1 with errno.
    int parent_of(const std::string& relative, std::string& name);
    // Why what is named `name` in `parent` may not be replaced, or nullptr when it may.
    const char* refusal_at(int parent, const std::string& name);

    int root_ = -1;
    int parent_ = -1;
    std::string parent_path_;
    bool protected_ = false;
    uint64_t protected_device_ = 0;
    uint64_t protected_inode_ = 0;
};

// Closes a file written through it: 0, or the error number of a write failure that close()
// reports late.
int close_written_file(FileHandle h);

// Operations on a file being extracted. Each returns 0, or the error number.
int write_at(FileHandle h, const void* data, size_t size, uint64_t offset);
int set_file_size(FileHandle h, uint64_t size);
// The free and total bytes of the file system holding the file, as an unprivileged user sees them.
int free_space(FileHandle h, uint64_t& available, uint64_t& total);

}  // namespace orvane::platform
