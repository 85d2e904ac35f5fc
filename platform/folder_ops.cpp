// Local folder operations over POSIX descriptors and std::filesystem.
#include "platform/folder_ops.h"

#include "platform/system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace orvane::platform {
namespace fs = std::filesystem;

namespace {

int fail(std::string* cause, const std::string& text) {
    if (cause) *cause = text;
    return 1;
}

int fail_errno(std::string* cause, int error, const std::string& item = {}) {
    std::string text = error == ELOOP ? "Is a symbolic link" : error_text(error);
    return fail(cause, item.empty() ? text : text + ": " + item);
}

uint64_t filetime_of(const struct stat& st) {
    return filetime_from_unix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

// The names in an open folder, "." and ".." left out. The descriptor stays open.
int folder_names(int fd, std::vector<std::string>& names) {
    int copy = dup(fd);
    if (copy < 0) return errno;
    DIR* dir = fdopendir(copy);
    if (!dir) {
        int e = errno;
        close(copy);
        return e;
    }
    errno = 0;
    while (struct dirent* d = readdir(dir)) {
        if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
            names.emplace_back(d->d_name);
        errno = 0;
    }
    int e = errno;
    closedir(dir);
    return e;
}

// Empties the open folder `fd` (shown as `shown`), depth first, through the descriptor only: a
// sub-folder is opened with O_NOFOLLOW, so a link swapped in for it is never entered.
int empty_folder(int fd, const std::string& shown, std::string* cause) {
    std::vector<std::string> names;
    if (int e = folder_names(fd, names); e != 0) return fail_errno(cause, e, shown);
    for (const std::string& name : names) {
        std::string item = shown + "/" + name;
        struct stat st;
        if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return fail_errno(cause, errno, item);
        if (S_ISDIR(st.st_mode)) {
            int child = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0) return fail_errno(cause, errno, item);
            int r = empty_folder(child, item, cause);
            close(child);
            if (r != 0) return r;
            if (unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0) return fail_errno(cause, errno, item);
        } else if (unlinkat(fd, name.c_str(), 0) != 0) {
            return fail_errno(cause, errno, item);
        }
    }
    return 0;
}

}  // namespace

int read_folder(const std::string& folder, std::vector<FolderItem>& items, std::string* cause) {
    items.clear();
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return fail_errno(cause, errno);
    std::vector<std::string> names;
    int e = folder_names(fd, names);
    if (e != 0) {
        close(fd);
        return fail_errno(cause, e);
    }
    for (std::string& name : names) {
        FolderItem item;
        struct stat st;
        if (fstatat(fd, name.c_str(), &st, 0) == 0 ||
            fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            item.is_folder = S_ISDIR(st.st_mode);
            item.size = static_cast<uint64_t>(st.st_size);
            item.last_write_time = filetime_of(st);
        }
        item.name = std::move(name);
        items.push_back(std::move(item));
    }
    close(fd);
    return 0;
}

int make_folders(const std::string& path, std::string* cause) {
    if (path.empty()) return fail(cause, "Empty path");
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        std::string prefix = path.substr(0, i);
        if (mkdir(prefix.c_str(), 0777) == 0) continue;
        int e = errno;
        struct stat st;
        if (e == EEXIST && stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        return fail_errno(cause, e == EEXIST ? ENOTDIR : e, prefix);
    }
    return 0;
}

int delete_item(const std::string& path, bool folder, std::string* cause) {
    if (!folder) return unlink(path.c_str()) == 0 ? 0 : fail_errno(cause, errno);
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        struct stat st;
        if (e == ENOTDIR && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) e = ELOOP;
        return fail_errno(cause, e);
    }
    int r = empty_folder(fd, path, cause);
    close(fd);
    if (r != 0) return r;
    return rmdir(path.c_str()) == 0 ? 0 : fail_errno(cause, errno);
}

int rename_item(const std::string& from, const std::string& to, std::string* cause) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : fail_errno(cause, errno);
}

std::string find_executable(const std::string& name) {
    auto executable = [](const std::string& p) {
        struct stat st;
        return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(p.c_str(), X_OK) == 0;
    };
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return executable(name) ? name : std::string();
    const char* path = std::getenv("PATH");
    std::string list = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        size_t end = list.find(':', start);
        std::string folder = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
        if (executable(candidate)) return candidate;
        if (end == std::string::npos) return {};
        start = end + 1;
    }
}

}  // namespace orvane::platform
