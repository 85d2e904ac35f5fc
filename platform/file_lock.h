// An exclusive advisory lock on a lock file, held for a scope, so processes take turns on a file.
#pragma once

#include <string>

namespace orvane::platform {

// Opens (creating, mode 0600) the lock file and waits for flock(LOCK_EX) on it; the destructor
// releases it. Holders in other processes wait, so keep the scope short.
class FileLock {
  public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // 0 when held; 1 with the file and the system's reason in *error.
    int acquire(const std::string& path, std::string* error);

  private:
    int fd_ = -1;
};

// True when the path itself is a symbolic link (not followed).
bool path_is_link(const std::string& path);

}  // namespace orvane::platform
