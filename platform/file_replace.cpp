// Whole-file replacement through a temporary file, fsync and rename, or in place where a rename cannot.
#include "platform/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/system.h"

namespace orvane::platform {

int replace_file(const std::string& path, const std::string& content, std::string* error) {
    std::string temp = path + ".new";
    auto fail = [&](const std::string& name, int fd) {
        if (error) *error = name + ": " + error_text(errno);
        if (fd >= 0) {
            ::close(fd);
            ::unlink(temp.c_str());
        }
        return 1;
    };
    struct stat old {};
    bool had_old = ::stat(path.c_str(), &old) == 0;
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return fail(temp, -1);
    if (had_old) {
        ::fchmod(fd, old.st_mode & 07777);
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Only a privileged writer may hand a file to another owner; the mode still carries over.
        }
    }
    size_t done = 0;
    while (done < content.size()) {
        ssize_t w = ::write(fd, content.data() + done, content.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return fail(temp, fd);
        done += static_cast<size_t>(w);
    }
    if (::fsync(fd) != 0) return fail(temp, fd);
    auto fail_unlinked = [&](const std::string& name) {
        int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return fail(name, -1);
    };
    if (::close(fd) != 0) return fail_unlinked(temp);
    if (::rename(temp.c_str(), path.c_str()) != 0) return fail_unlinked(path);
    // The new name reaches the disk with its folder.
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

}  // namespace orvane::platform

namespace orvane::platform {

namespace {

std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".")
           : slash == 0               ? std::string("/")
                                      : path.substr(0, slash);
}

}  // namespace

int rewrite_file_in_place(const std::string& path, const std::string& content, std::string* error) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    auto fail = [&]() {
        if (error) *error = path + ": " + error_text(errno);
        if (fd >= 0) {
            int saved = errno;
            ::close(fd);
            errno = saved;
        }
        return 1;
    };
    if (fd < 0) return fail();
    size_t done = 0;
    while (done < content.size()) {
        ssize_t w = ::pwrite(fd, content.data() + done, content.size() - done, static_cast<off_t>(done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return fail();
        done += static_cast<size_t>(w);
    }
    // Cut only after the new bytes are down, so a failed write never leaves a shorter old file.
    if (::ftruncate(fd, static_cast<off_t>(content.size())) != 0 || ::fsync(fd) != 0) return fail();
    if (::close(fd) != 0) {
        fd = -1;
        return fail();
    }
    return 0;
}

int save_file(const std::string& path, const std::string& content, std::string* error) {
    struct stat st {};
    bool link = ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    bool exists = link || ::stat(path.c_str(), &st) == 0;
    if (exists && (link || ::access(folder_of(path).c_str(), W_OK | X_OK) != 0))
        return rewrite_file_in_place(path, content, error);
    return replace_file(path, content, error);
}

}  // namespace orvane::platform
