// Item lookups and folder names through stat and readdir; local time through localtime_r/mktime.
#include "platform/item_info.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "platform/confined_folder.h"
#include "platform/system.h"

namespace orvane::platform {

namespace {

void fill(const struct stat& st, ItemInfo& info) {
    info.is_link = S_ISLNK(st.st_mode);
    info.permissions = st.st_mode & 07777;
    info.is_folder = S_ISDIR(st.st_mode);
    info.is_regular = S_ISREG(st.st_mode);
    info.size = static_cast<uint64_t>(st.st_size);
    info.last_write_time = filetime_from_unix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    info.device = st.st_dev;
    info.inode = st.st_ino;
}

}  // namespace

int item_info(const std::string& path, ItemInfo& info, std::string* cause) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (cause) *cause = error_text(errno);
        return 1;
    }
    fill(st, info);
    return 0;
}

int link_info(const std::string& path, ItemInfo& info, std::string& target, std::string* cause) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (cause) *cause = error_text(errno);
        return 1;
    }
    fill(st, info);
    target.clear();
    if (!info.is_link) return 0;
    char buffer[4096];
    ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    if (n < 0 || static_cast<size_t>(n) == sizeof buffer) {
        if (cause) *cause = n < 0 ? error_text(errno) : "the link's target is too long";
        return 1;
    }
    target.assign(buffer, static_cast<size_t>(n));
    return 0;
}

int folder_names(const std::string& folder, std::vector<std::string>& names, std::string* cause) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir) {
        if (cause) *cause = error_text(errno);
        return 1;
    }
    for (;;) {
        errno = 0;
        struct dirent* d = readdir(dir.get());
        if (!d) break;
        std::string name = d->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    if (errno != 0) {
        if (cause) *cause = error_text(errno);
        return 1;
    }
    return 0;
}

int remove_file(const std::string& path) {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : 1;
}

LocalFields local_fields(uint64_t filetime) {
    time_t t = static_cast<time_t>(unix_from_filetime(filetime));
    struct tm tm {};
    localtime_r(&t, &tm);
    return {tm.tm_year, tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

uint64_t filetime_from_local(const LocalFields& f) {
    struct tm tm {};
    tm.tm_year = f.year;
    tm.tm_mon = f.month;
    tm.tm_mday = f.day;
    tm.tm_hour = f.hour;
    tm.tm_min = f.minute;
    tm.tm_sec = f.second;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    return t == static_cast<time_t>(-1) ? 0 : filetime_from_unix(t);
}

}  // namespace orvane::platform
