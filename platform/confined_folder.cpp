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
#include <sys/statvfs.h>
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

// Makes temporary names unique among the threads of this process; the process id among processes.
std::atomic<uint64_t> temporary_counter{0};

}  // namespace

int close_written_file(FileHandle h) {
    if (h == kInvalidFile) return 0;
    return ::close(h) == 0 || errno == EINTR ? 0 : errno;
}

ConfinedFolder::~ConfinedFolder() {
    if (root_ >= 0) close(root_);
    if (parent_ >= 0) close(parent_);
}

int ConfinedFolder::open(const std::string& root, std::string* cause) {
    if (root_ >= 0) close(root_);
    if (parent_ >= 0) close(parent_);
    parent_ = -1;
    root_ = ::open(root.empty() ? "." : root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_ >= 0) return 0;
    set_cause(cause, errno);
    return 1;
}

int write_at(FileHandle h, const void* data, size_t size, uint64_t offset) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(h, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : ENOSPC;
        p += n, size -= static_cast<size_t>(n), offset += static_cast<uint64_t>(n);
    }
    return 0;
}

int set_file_size(FileHandle h, uint64_t size) {
    return ::ftruncate(h, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

int free_space(FileHandle h, uint64_t& available, uint64_t& total) {
    struct statvfs fs;
    if (::fstatvfs(h, &fs) != 0) return errno;
    available = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    total = static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize;
    return 0;
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

int ConfinedFolder::parent_of(const std::string& relative, std::string& name) {
    size_t slash = relative.rfind('/');
    name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    std::string folder = slash == std::string::npos ? std::string() : relative.substr(0, slash);
    if (parent_ >= 0 && folder == parent_path_) return parent_;
    int fd = folder.empty() ? dup(root_) : open_below(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (parent_ >= 0) close(parent_);
    parent_ = fd;
    parent_path_ = folder;
    return fd;
}

const char* ConfinedFolder::refusal_at(int parent, const std::string& name) {
    struct stat st;
    if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? nullptr : "cannot look at it";
    // Replacing a link would surprise whoever made it; writing through it could leave the root.
    if (S_ISLNK(st.st_mode)) return "it exists and is a symbolic link";
    if (!S_ISREG(st.st_mode)) return "it exists and is no regular file";
    if (protected_ && st.st_dev == protected_device_ && st.st_ino == protected_inode_)
        return "it is the archive being read";
    return nullptr;
}

FileHandle ConfinedFolder::create_temporary(const std::string& relative, uint32_t mode,
                                            std::string& temporary, std::string* cause) {
    std::string name;
    int parent = parent_of(relative, name);
    if (parent < 0) {
        set_cause(cause, errno);
        return kInvalidFile;
    }
    if (const char* refusal = refusal_at(parent, name)) {
        if (cause) *cause = refusal;
        return kInvalidFile;
    }
    size_t slash = relative.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : relative.substr(0, slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string base = ".orvane-" + std::to_string(getpid()) + "-" +
                           std::to_string(temporary_counter.fetch_add(1)) + ".part";
        // One plain component in a folder opened below the root: it cannot lead elsewhere, and
        // O_EXCL never opens what is already there (a link included).
        int fd =
            openat(parent, base.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
        if (fd >= 0) {
            temporary = folder + base;
            return fd;
        }
        if (errno != EEXIST) break;
    }
    set_cause(cause, errno);
    return kInvalidFile;
}

int ConfinedFolder::replace(const std::string& temporary, const std::string& relative, std::string* cause) {
    std::string name;
    int parent = parent_of(relative, name);
    if (parent < 0) {
        set_cause(cause, errno);
        return 1;
    }
    std::string temporary_name = temporary.substr(temporary.rfind('/') + 1);
    if (const char* refusal = refusal_at(parent, name)) {
        if (cause) *cause = refusal;
        return 1;
    }
    if (renameat(parent, temporary_name.c_str(), parent, name.c_str()) == 0) return 0;
    set_cause(cause, errno);
    return 1;
}

void ConfinedFolder::remove_file(const std::string& relative) {
    std::string name;
    int parent = parent_of(relative, name);
    if (parent >= 0) unlinkat(parent, name.c_str(), 0);
}

FileHandle ConfinedFolder::open_file(const std::string& relative, std::string* cause) {
    int fd = open_below(relative, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) {
        set_cause(cause, errno);
        return kInvalidFile;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
        if (cause) *cause = "it is no regular file";
        close(fd);
        return kInvalidFile;
    }
    return fd;
}

}  // namespace orvane::platform
