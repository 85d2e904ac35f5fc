// Confined writes: openat2 with RESOLVE_BENEATH where the kernel has it, else a walk one component
// at a time that refuses every symbolic link.
#include "platform/confined_folder.h"
#include "platform/system.h"

#include <atomic>

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace orvane::platform {
namespace {

void set_cause(std::string* cause, int error) {
    if (!cause) return;
    *cause = error == ELOOP || error == EXDEV ? "the path leaves the destination through a symbolic link"
                                              : error_text(error);
}

// -1 with errno ENOSYS where the system has no openat2.
int open_beneath(int root, const char* path, int flags, int mode) {
#ifdef SYS_openat2
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(flags);
    how.mode = (flags & O_CREAT) ? static_cast<uint64_t>(mode) : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (;;) {
        long fd = syscall(SYS_openat2, root, path, &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN) return static_cast<int>(fd);
    }
#else
    (void)root, (void)path, (void)flags, (void)mode;
    errno = ENOSYS;
    return -1;
#endif
}

// The walk without openat2: each folder component opened with O_NOFOLLOW, the last with `flags`.
int open_walk(int root, const std::string& relative, int flags, int mode) {
    int dir = dup(root);
    if (dir < 0) return -1;
    size_t start = 0;
    for (;;) {
        size_t slash = relative.find('/', start);
        std::string part =
            relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        bool last = slash == std::string::npos;
        int next = last ? openat(dir, part.c_str(), flags | O_NOFOLLOW, mode)
                        : openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int saved = errno;
        close(dir);
        errno = saved;
        if (next < 0 || last) return next;
        dir = next;
        start = slash + 1;
    }
}

// Learnt once: a kernel without openat2 keeps lacking it.
std::atomic<bool> have_openat2{true};

}  // namespace

int close_written_file(FileHandle h) {
    if (h == kInvalidFile) return 0;
    return ::close(h) == 0 || errno == EINTR ? 0 : errno;
}

ConfinedFolder::~ConfinedFolder() {
    if (root_ >= 0) close(root_);
}

int ConfinedFolder::open(const std::string& root, std::string* cause) {
    if (root_ >= 0) close(root_);
    root_ = ::open(root.empty() ? "." : root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_ >= 0) return 0;
    set_cause(cause, errno);
    return 1;
}

int ConfinedFolder::open_below(const std::string& relative, int flags, int mode) {
    if (have_openat2.load()) {
        int fd = open_beneath(root_, relative.c_str(), flags, mode);
        if (fd >= 0 || errno != ENOSYS) return fd;
        have_openat2.store(false);
    }
    return open_walk(root_, relative, flags, mode);
}

int ConfinedFolder::make_folders(const std::string& relative, std::string* cause) {
    size_t end = 0;
    while (end != std::string::npos) {
        end = relative.find('/', end + 1);
        std::string prefix = relative.substr(0, end);
        int fd = open_below(prefix, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        if (fd >= 0) {
            close(fd);
            continue;
        }
        if (errno != ENOENT) {
            set_cause(cause, errno);
            return 1;
        }
        // Make the last component inside its parent, reached the same confined way.
        size_t slash = prefix.rfind('/');
        int parent = slash == std::string::npos
                         ? dup(root_)
                         : open_below(prefix.substr(0, slash), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        if (parent < 0) {
            set_cause(cause, errno);
            return 1;
        }
        std::string name = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
        int made = mkdirat(parent, name.c_str(), 0777);
        int saved = errno;
        close(parent);
        if (made != 0 && saved != EEXIST) {
            set_cause(cause, saved);
            return 1;
        }
        // Check what is there now (a link made meanwhile must still stay inside).
        fd = open_below(prefix, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        if (fd < 0) {
            set_cause(cause, errno);
            return 1;
        }
        close(fd);
    }
    return 0;
}

void ConfinedFolder::protect(const std::string& path) {
    struct stat st;
    protected_ = ::stat(path.c_str(), &st) == 0;
    protected_device_ = st.st_dev;
    protected_inode_ = st.st_ino;
}

FileHandle ConfinedFolder::create_file(const std::string& relative, std::string* cause) {
    // Not truncated at open: what is there is looked at first. O_NONBLOCK keeps a fifo from
    // blocking the open.
    int fd = open_below(relative, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        set_cause(cause, errno);
        return kInvalidFile;
    }
    struct stat st;
    const char* refusal = nullptr;
    if (fstat(fd, &st) != 0) {
        refusal = "cannot look at it";
    } else if (!S_ISREG(st.st_mode)) {
        refusal = "it exists and is no regular file";
    } else if (protected_ && st.st_dev == protected_device_ && st.st_ino == protected_inode_) {
        refusal = "it is the archive being read";
    }
    if (refusal || ftruncate(fd, 0) != 0 || fcntl(fd, F_SETFL, 0) != 0) {
        if (cause) *cause = refusal ? refusal : error_text(errno);
        close(fd);
        return kInvalidFile;
    }
    return fd;
}

}  // namespace orvane::platform
