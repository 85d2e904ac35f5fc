// flock on a lock file beside the data it guards; lstat for links.
#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/system.h"

namespace orvane::platform {

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing drops the lock
}

int FileLock::acquire(const std::string& path, std::string* error) {
    if (fd_ >= 0) return 0;
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    int r = fd < 0 ? -1 : 0;
    while (r == 0 && ::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) r = -1;
    }
    if (r != 0) {
        if (error) *error = path + ": " + error_text(errno);
        if (fd >= 0) ::close(fd);
        return 1;
    }
    fd_ = fd;
    return 0;
}

bool path_is_link(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace orvane::platform
