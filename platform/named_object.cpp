// Named mutexes over flock and named events as files, in the runtime folder watched with inotify.
#include "platform/named_object.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/system.h"

namespace orvane::platform {

namespace {

// Makes `folder` (one level) private to this user. True when it is a folder of this user's
// afterwards, closed to everyone else: whoever can write in it could stop or freeze the scheduler.
bool make_private_folder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        errno = EPERM;
        return false;
    }
    // A folder left open by an older version, or made under a lax umask, is closed.
    if ((st.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) return false;
    return true;
}

std::string object_path(const std::string& name) {
    std::string folder = runtime_folder();
    return folder.empty() ? std::string() : folder + name;
}

// The object as a message names it.
std::string object_text_name(const std::string& name) {
    std::string path = object_path(name);
    return path.empty() ? name + " (no usable runtime folder)" : path;
}

// Opens (creating) an object file, never through a symbolic link.
int open_object(const std::string& name, int flags) {
    std::string path = object_path(name);
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    return ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
}

}  // namespace

std::string runtime_folder() {
    const char* env = std::getenv("ORVANE_RUNTIME_DIR");
    if (env && *env) {
        std::string folder(env);
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (!make_private_folder(folder)) return {};
        return folder + "/";
    }
    if (make_private_folder("/run/orvane")) return "/run/orvane/";
    std::string folder = "/tmp/orvane-" + std::to_string(::getuid());
    return make_private_folder(folder) ? folder + "/" : std::string();
}

int NamedMutex::try_acquire(const std::string& name, std::string* error) {
    release();
    int fd = open_object(name, O_RDWR | O_CREAT);
    if (fd < 0) {
        if (error) *error = object_text_name(name) + ": " + error_text(errno);
        return 2;
    }
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        int busy = errno == EWOULDBLOCK;
        if (error) *error = object_text_name(name) + ": " + error_text(errno);
        ::close(fd);
        return busy ? 1 : 2;
    }
    fd_ = fd;
    return 0;
}

int NamedMutex::set_note(const std::string& text) {
    if (fd_ < 0 || ::ftruncate(fd_, 0) != 0) return 1;
    return ::pwrite(fd_, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) ? 0 : 1;
}

std::string named_mutex_note(const std::string& name) {
    int fd = open_object(name, O_RDONLY);
    if (fd < 0) return {};
    char buf[256];
    ssize_t r = ::pread(fd, buf, sizeof buf, 0);
    ::close(fd);
    return r > 0 ? std::string(buf, static_cast<size_t>(r)) : std::string();
}

int NamedMutex::acquire(const std::string& name, const Event* stop, bool shared, std::string* error) {
    release();
    int fd = open_object(name, O_RDWR | O_CREAT);
    if (fd < 0) {
        if (error) *error = object_text_name(name) + ": " + error_text(errno);
        return 1;
    }
    const int how = shared ? LOCK_SH : LOCK_EX;
    for (;;) {
        if (::flock(fd, how | LOCK_NB) == 0) break;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            if (error) *error = object_text_name(name) + ": " + error_text(errno);
            ::close(fd);
            return 1;
        }
        // flock has no time limit of its own: look again every 50 ms, or end on the stop event.
        if (stop ? stop->wait(50) == 1 : (::usleep(50000), false)) {
            if (error) *error = "stopped";
            ::close(fd);
            return 1;
        }
    }
    fd_ = fd;
    return 0;
}

void NamedMutex::release() {
    if (fd_ < 0) return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

bool named_mutex_exists(const std::string& name) {
    int fd = open_object(name, O_RDONLY);
    if (fd < 0) return false;  // never made, so never held
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    bool held = r != 0 && errno == EWOULDBLOCK;
    ::close(fd);  // closing drops the test lock too
    return held;
}

int named_event_set(const std::string& name) {
    int fd = open_object(name, O_WRONLY | O_CREAT);
    if (fd < 0) return 1;
    ::close(fd);
    return 0;
}

int named_event_reset(const std::string& name) {
    std::string path = object_path(name);
    if (path.empty()) return 1;
    return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : 1;
}

bool named_event_is_set(const std::string& name) {
    std::string path = object_path(name);
    return !path.empty() && ::access(path.c_str(), F_OK) == 0;
}

FolderWatch::FolderWatch() {
    rearm();
}

int FolderWatch::rearm() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    gone_ = false;
    std::string folder = runtime_folder();
    if (folder.empty()) return 1;
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return 1;
    folder_wd_ = ::inotify_add_watch(
        fd_, folder.c_str(),
        IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF);
    if (folder_wd_ < 0) {
        ::close(fd_);
        fd_ = -1;
        return 1;
    }
    return 0;
}

int FolderWatch::watch_release(const std::string& name) {
    std::string path = object_path(name);
    if (fd_ < 0 || path.empty()) return 1;
    // Only a holder opens the lock file for writing (a test for the mutex only reads it), so
    // this fires when the holder closes it, which is when its lock goes.
    return ::inotify_add_watch(fd_, path.c_str(), IN_CLOSE_WRITE) < 0 ? 1 : 0;
}

FolderWatch::~FolderWatch() {
    if (fd_ >= 0) ::close(fd_);
}

void FolderWatch::drain(std::vector<std::string>* removed) {
    alignas(inotify_event) char buf[4096];
    while (fd_ >= 0) {
        ssize_t r = ::read(fd_, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= r;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            if (e->wd == folder_wd_ && (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))) gone_ = true;
            if (removed && e->wd == folder_wd_ && (e->mask & (IN_DELETE | IN_MOVED_FROM)) && e->len > 0)
                removed->emplace_back(e->name, strnlen(e->name, e->len));
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
}

}  // namespace orvane::platform
