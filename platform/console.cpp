// Console over file descriptors 0 and 1 and termios.
#include "platform/console.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace orvane::platform {

bool stdout_is_terminal() {
    return isatty(1) == 1;
}
bool stdin_is_terminal() {
    return isatty(0) == 1;
}

bool colour_permitted_by_environment() {
    const char* v = std::getenv("NO_COLOR");
    return v == nullptr || *v == '\0';
}

std::string colour_escape(int attribute) {
    switch (attribute) {
        case 9:
            return "\x1b[94m";
        case 10:
            return "\x1b[92m";
        case 11:
            return "\x1b[96m";
        case 12:
            return "\x1b[91m";
        case 14:
            return "\x1b[93m";
        default:
            return {};
    }
}

void console_write(const char* text, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(1, text + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        done += static_cast<size_t>(w);
    }
}

int console_set_echo(bool on) {
    if (!stdin_is_terminal()) return 1;
    struct termios t;
    if (tcgetattr(0, &t) != 0) return 1;
    if (on)
        t.c_lflag |= ECHO;
    else
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    return tcsetattr(0, TCSANOW, &t) == 0 ? 0 : 1;
}

int console_read_line(std::string& line, size_t capacity) {
    static bool after_cr = false;  // standard input is one stream for the whole process
    line.clear();
    bool any = false;
    for (;;) {
        char c;
        ssize_t r = ::read(0, &c, 1);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            after_cr = false;
            return any ? static_cast<int>(line.size()) : -1;
        }
        if (c == '\n' && after_cr && !any) {
            after_cr = false;
            continue;
        }
        after_cr = c == '\r';
        if (c == '\r' || c == '\n') return static_cast<int>(line.size());
        any = true;
        if (line.size() < capacity) line.push_back(c);
    }
}

}  // namespace orvane::platform
