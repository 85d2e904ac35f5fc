// Copying and moving local items with their times kept, merging into folders that already exist.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/folder_ops.h"
#include "platform/item_info.h"
#include "platform/system.h"

namespace orvane::platform {
namespace fs = std::filesystem;

namespace {

int fail(std::string* cause, const std::string& text) {
    if (cause) *cause = text;
    return 1;
}

int fail_errno(std::string* cause, int error, const std::string& item) {
    return fail(cause, error_text(error) + ": " + item);
}

// The source's access and modification times onto the copy (a link itself, not its target).
int keep_times(const struct stat& st, const std::string& to, std::string* cause) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return fail_errno(cause, errno, to);
    return 0;
}

// The names in a folder, read whole before any of them is moved or copied.
int item_names(const std::string& folder, std::vector<std::string>& names, std::string* cause) {
    std::string why;
    return folder_names(folder, names, &why) == 0 ? 0 : fail(cause, why + ": " + folder);
}

int copy_tree(const std::string& from, const std::string& to, std::string* cause) {
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) return fail_errno(cause, errno, from);
    std::error_code ec;
    if (S_ISLNK(st.st_mode)) {
        struct stat existing;
        if (::lstat(to.c_str(), &existing) == 0 && !S_ISDIR(existing.st_mode)) fs::remove(to, ec);
        fs::copy_symlink(from, to, ec);
        if (ec) return fail(cause, ec.message() + ": " + to);
        return keep_times(st, to, cause);
    }
    if (S_ISDIR(st.st_mode)) {
        if (::mkdir(to.c_str(), 0777) != 0 && errno != EEXIST) return fail_errno(cause, errno, to);
        std::vector<std::string> names;
        if (item_names(from, names, cause) != 0) return 1;
        for (const std::string& name : names)
            if (copy_tree(from + "/" + name, to + "/" + name, cause) != 0) return 1;
        // Set last: the items written into it have changed the folder's time.
        return keep_times(st, to, cause);
    }
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec) return fail(cause, ec.message() + ": " + to);
    return keep_times(st, to, cause);
}

bool is_folder_not_link(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int copy_item(const std::string& from, const std::string& to, std::string* cause) {
    return copy_tree(from, to, cause);
}

int move_item(const std::string& from, const std::string& to, std::string* cause) {
    if (::rename(from.c_str(), to.c_str()) == 0) return 0;
    int error = errno;
    if ((error == ENOTEMPTY || error == EEXIST) && is_folder_not_link(from) && is_folder_not_link(to)) {
        // A folder onto a folder of the same name: its items join the existing ones, as a copy does.
        std::vector<std::string> names;
        if (item_names(from, names, cause) != 0) return 1;
        for (const std::string& name : names)
            if (move_item(from + "/" + name, to + "/" + name, cause) != 0) return 1;
        return ::rmdir(from.c_str()) == 0 ? 0 : fail_errno(cause, errno, from);
    }
    if (error != EXDEV) return fail(cause, error_text(error));
    if (copy_item(from, to, cause) != 0) return 1;
    std::error_code ec;
    fs::remove_all(from, ec);
    return ec ? fail(cause, ec.message()) : 0;
}

}  // namespace orvane::platform
