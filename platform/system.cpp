// Process-wide facts over /proc, the environment and the C library.
#include "platform/system.h"

#include "platform/file.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace orvane::platform {

std::string program_folder() {
    char buf[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) return "./";
    std::string p(buf, static_cast<size_t>(n));
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string("./") : p.substr(0, slash + 1);
}

std::string program_path() {
    char buf[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    return n <= 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

int set_environment(const std::string& name, const std::string& value) {
    if (name.empty()) return 1;
    return ::setenv(name.c_str(), value.c_str(), 1) == 0 ? 0 : 1;
}

int unset_environment(const std::string& name) {
    if (name.empty()) return 1;
    return ::unsetenv(name.c_str()) == 0 ? 0 : 1;
}

std::string get_environment(const std::string& name, bool* found) {
    const char* v = std::getenv(name.c_str());
    if (found) *found = v != nullptr;
    return v ? std::string(v) : std::string();
}

struct tm local_time(time_t t) {
    struct tm out {};
    localtime_r(&t, &out);
    return out;
}

time_t now_unix() {
    return ::time(nullptr);
}

std::string computer_name() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

std::string current_folder() {
    char buf[PATH_MAX + 1];
    if (getcwd(buf, sizeof buf) == nullptr) return "./";
    std::string p(buf);
    if (p.empty() || p.back() != '/') p += '/';
    return p;
}

std::string last_error_text() {
    return error_text(errno);
}

std::string normalize_local_path(std::string path) {
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

std::string error_text(int error) {
    if (error == kErrorNotRegular) return "Not a regular file (a FIFO, socket or device)";
    char buffer[128];
    // The GNU strerror_r returns the text, which need not be in the buffer.
    return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace orvane::platform
