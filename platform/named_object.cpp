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

// Makes `folder` (one level) with `mode` exactly, umask aside. True when it is a folder afterwards.
bool make_folder(const std::string& folder, mode_t mode) {
    if (::mkdir(folder.c_str(), mode) == 0) {
        ::chmod(folder.c_str(), mode);
        return true;
    }
    struct stat st {};
    return errno == EEXIST && ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string object_path(const std::string& name) {
    std::string folder = runtime_folder();
    return folder.empty() ? std::string() : folder + name;
}

// Opens (creating) an object file that every process may open.
int open_object(const std::string& name, int flags) {
    std::string path = object_path(name);
    if (path.empty()) return -1;
    if (flags & O_CREAT) {
        // A new object file is opened to everyone, umask aside; an existing one keeps its mode.
        int fd = ::open(path.c_str(), flags | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::fchmod(fd, 0666);
            return fd;
        }
        if (errno != EEXIST) return -1;
        flags &= ~O_CREAT;
    }
    return ::open(path.c_str(), flags | O_CLOEXEC);
}

}  // namespace

std::string runtime_folder() {
    const char* env = std::getenv("ORVANE_RUNTIME_DIR");
    if (env && *env) {
        std::string folder(env);
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (!make_folder(folder, 0777)) return {};
        return folder + "/";
    }
    if (make_folder("/run/orvane", 01777) && ::access("/run/orvane", W_OK | X_OK) == 0) return "/run/orvane/";
    std::string folder = "/tmp/orvane-" + std::to_string(::getuid());
    return make_folder(folder, 0700) ? folder + "/" : std::string();
}

int NamedMutex::acquire(const std::string& name, const Event* stop, bool shared, std::string* error) {
    release();
    int fd = open_object(name, O_RDWR | O_CREAT);
    if (fd < 0) {
        if (error) *error = object_path(name) + ": " + error_text(errno);
        return 1;
    }
    const int how = shared ? LOCK_SH : LOCK_EX;
    for (;;) {
        if (::flock(fd, how | LOCK_NB) == 0) break;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            if (error) *error = object_path(name) + ": " + error_text(errno);
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
    std::string folder = runtime_folder();
    if (folder.empty()) return;
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return;
    if (::inotify_add_watch(fd_, folder.c_str(),
                            IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ATTRIB) < 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

FolderWatch::~FolderWatch() {
    if (fd_ >= 0) ::close(fd_);
}

void FolderWatch::drain() {
    alignas(inotify_event) char buf[4096];
    while (fd_ >= 0) {
        ssize_t r = ::read(fd_, buf, sizeof buf);
        if (r > 0) continue;
        if (r < 0 && errno == EINTR) continue;
        break;
    }
}

}  // namespace orvane::platform
