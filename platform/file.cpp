// Local files over POSIX descriptors.
#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace orvane::platform {

FileHandle file_open(const std::string& path, int mode) {
    if (path.empty()) return kInvalidFile;
    int flags = O_CLOEXEC;
    bool regular_only = (mode & kOpenRegularOnly) != 0;
    if (regular_only) flags |= O_NONBLOCK;
    switch (mode & ~kOpenRegularOnly) {
        case kOpenRead:
            flags |= O_RDONLY;
            break;
        case kOpenWrite:
            flags |= O_RDWR | O_CREAT | O_TRUNC;
            break;
        case kOpenAppend:
            flags |= O_RDWR | O_CREAT;
            break;
        case kOpenAppendAlways:
            flags |= O_RDWR | O_CREAT | O_APPEND;
            break;
        default:
            return kInvalidFile;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return kInvalidFile;
    struct stat st;
    bool known = fstat(fd, &st) == 0;
    // The caller reports why: a folder, or (when asked for) anything but a regular file.
    int refused = known && S_ISDIR(st.st_mode)                      ? EISDIR
                  : regular_only && !(known && S_ISREG(st.st_mode)) ? kErrorNotRegular
                                                                    : 0;
    if (refused != 0) {
        ::close(fd);
        errno = refused;
        return kInvalidFile;
    }
    if (regular_only) {
        // Reads and writes of a regular file never wait; the flag only had to keep open() from it.
        int now = fcntl(fd, F_GETFL);
        if (now >= 0) fcntl(fd, F_SETFL, now & ~O_NONBLOCK);
    }
    return fd;
}

void file_close(FileHandle h) {
    if (h != kInvalidFile) ::close(h);
}

int64_t file_read(FileHandle h, void* data, size_t n) {
    if (h == kInvalidFile) return -1;
    for (;;) {
        ssize_t r = ::read(h, data, n);
        if (r >= 0) return r;
        if (errno != EINTR) return -1;
    }
}

int64_t file_write(FileHandle h, const void* data, size_t n) {
    if (h == kInvalidFile) return -1;
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(h, p + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<size_t>(w);
    }
    return static_cast<int64_t>(done);
}

int64_t file_seek(FileHandle h, int64_t offset, int whence) {
    if (h == kInvalidFile) return -1;
    int w = whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : SEEK_END;
    off_t r = ::lseek(h, static_cast<off_t>(offset), w);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t file_size(FileHandle h) {
    struct stat st;
    if (h == kInvalidFile || fstat(h, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

int file_permissions(FileHandle h) {
    struct stat st;
    if (h == kInvalidFile || fstat(h, &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

uint64_t filetime_from_unix(int64_t seconds, int64_t nanoseconds) {
    return kFiletimeUnixEpoch + static_cast<uint64_t>(seconds) * 10000000ULL +
           static_cast<uint64_t>(nanoseconds / 100);
}

int64_t unix_from_filetime(uint64_t filetime) {
    return (static_cast<int64_t>(filetime) - static_cast<int64_t>(kFiletimeUnixEpoch)) / 10000000LL;
}

static uint64_t filetime_of(const struct stat& st) {
    return filetime_from_unix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

uint64_t file_last_write_time(FileHandle h) {
    struct stat st;
    if (h == kInvalidFile || fstat(h, &st) != 0) return 0;
    return filetime_of(st);
}

uint64_t path_last_write_time(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return 0;
    return filetime_of(st);
}

int file_set_last_write_time(FileHandle h, uint64_t filetime) {
    if (h == kInvalidFile || filetime < kFiletimeUnixEpoch) return 1;
    uint64_t ticks = filetime - kFiletimeUnixEpoch;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(ticks / 10000000ULL);
    times[1].tv_nsec = static_cast<long>((ticks % 10000000ULL) * 100);
    return futimens(h, times) == 0 ? 0 : 1;
}

bool path_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool path_is_folder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t path_size(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

int read_folder(const std::string& folder, std::vector<FolderItem>& items) {
    items.clear();
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return 1;
    std::string base = folder;
    if (!base.empty() && base.back() != '/') base += '/';
    while (struct dirent* d = readdir(dir)) {
        std::string name = d->d_name;
        if (name == "." || name == "..") continue;
        FolderItem item;
        item.name = name;
        struct stat st;
        if (::stat((base + name).c_str(), &st) == 0) {
            item.is_folder = S_ISDIR(st.st_mode);
            item.size = static_cast<uint64_t>(st.st_size);
            item.last_write_time = filetime_of(st);
            item.is_special = !item.is_folder && !S_ISREG(st.st_mode);
        }
        items.push_back(std::move(item));
    }
    closedir(dir);
    return 0;
}

std::vector<FolderItem> list_folder(const std::string& folder) {
    std::vector<FolderItem> items;
    read_folder(folder, items);
    return items;
}

int make_folder(const std::string& path) {
    return ::mkdir(path.c_str(), 0777) == 0 ? 0 : 1;
}

int path_identity(const std::string& path, uint64_t& device, uint64_t& inode) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return 1;
    device = static_cast<uint64_t>(st.st_dev);
    inode = static_cast<uint64_t>(st.st_ino);
    return 0;
}

int path_remove(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : 1;
}

int path_rename(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : 1;
}

int make_private_folders(const std::string& path) {
    if (path.empty()) return 1;
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        std::string part = path.substr(0, at);
        if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return 1;
        if (at == std::string::npos) break;
    }
    return path_is_folder(path) ? 0 : (errno = ENOTDIR, 1);
}

int append_to_file(const std::string& path, const void* data, size_t n) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return 1;
    int64_t written = file_write(fd, data, n);
    int saved = errno;
    int closed = ::close(fd);
    if (written != static_cast<int64_t>(n) || closed != 0) {
        if (written != static_cast<int64_t>(n)) errno = saved;
        return 1;
    }
    return 0;
}

FileHandle open_unnamed_temp_file() {
    const char* env = std::getenv("TMPDIR");
    std::string folder = env && *env ? env : "/tmp";
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    // File systems without O_TMPFILE: a named file removed at once.
    std::string name = folder + "/orvane-XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(name.c_str());
    return fd;
}

int write_private_file(const std::string& path, const void* data, size_t n) {
    std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return 1;
    int r = file_write(fd, data, n) == static_cast<int64_t>(n) && ::fsync(fd) == 0 ? 0 : 1;
    int saved = errno;
    ::close(fd);
    if (r == 0 && ::rename(temporary.c_str(), path.c_str()) == 0) return 0;
    saved = r == 0 ? errno : saved;
    ::unlink(temporary.c_str());
    errno = saved;
    return 1;
}

std::string make_private_temp_folder() {
    const char* env = std::getenv("TMPDIR");
    std::string name = std::string(env && *env ? env : "/tmp") + "/orvane-XXXXXX";
    return ::mkdtemp(name.data()) != nullptr ? name : std::string();
}

FileHandle try_lock_private_file(const std::string& path, bool* busy) {
    *busy = false;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return kInvalidFile;
    struct stat st {};
    int r = ::fstat(fd, &st);
    if (r == 0 && (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0 || !S_ISREG(st.st_mode))) {
        r = -1;
        errno = EPERM;
    }
    if (r == 0) {
        do {
            r = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (r != 0 && errno == EINTR);
        if (r == 0) return fd;
        *busy = errno == EWOULDBLOCK;
    }
    int saved = errno;
    ::close(fd);
    errno = saved;
    return kInvalidFile;
}

int file_lock(FileHandle h, bool lock) {
    int r;
    do {
        r = ::flock(h, lock ? LOCK_EX : LOCK_UN);
    } while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : 1;
}

}  // namespace orvane::platform
