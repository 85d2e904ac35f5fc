// Console over file descriptors 0 and 1 and termios.
#include "platform/console.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace orvane::platform {

bool stdout_is_terminal() {
    return isatty(1) == 1;
}
bool stdin_is_terminal() {
    return isatty(0) == 1;
}
bool stderr_is_terminal() {
    return isatty(2) == 1;
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

namespace {
int write_all(int fd, const char* text, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd, text + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        done += static_cast<size_t>(w);
    }
    return 0;
}
}  // namespace

void console_write(const char* text, size_t n) {
    write_all(1, text, n);
}
int console_write_data(const char* text, size_t n) {
    return write_all(1, text, n);
}
void console_write_error(const char* text, size_t n) {
    write_all(2, text, n);
}

namespace {

// While echo is off, the terminal's settings from before are kept here and put back by a signal
// that ends the process, so Ctrl-C at a password prompt never leaves the terminal without echo.
struct termios g_saved_terminal;
volatile sig_atomic_t g_echo_off = 0;
constexpr int kRestoringSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction g_previous_actions[sizeof kRestoringSignals / sizeof kRestoringSignals[0]];

void restore_terminal_and_end(int sig) {
    if (g_echo_off) tcsetattr(0, TCSANOW, &g_saved_terminal);
    g_echo_off = 0;
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

int console_set_echo(bool on) {
    if (!stdin_is_terminal()) return 1;
    constexpr size_t kSignals = sizeof kRestoringSignals / sizeof kRestoringSignals[0];
    if (on) {
        if (!g_echo_off) return 0;
        int r = tcsetattr(0, TCSANOW, &g_saved_terminal) == 0 ? 0 : 1;
        g_echo_off = 0;
        for (size_t i = 0; i < kSignals; ++i)
            sigaction(kRestoringSignals[i], &g_previous_actions[i], nullptr);
        return r;
    }
    if (g_echo_off) return 0;
    struct termios t;
    if (tcgetattr(0, &t) != 0) return 1;
    g_saved_terminal = t;
    struct sigaction action {};
    action.sa_handler = restore_terminal_and_end;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kSignals; ++i) {
        sigaction(kRestoringSignals[i], nullptr, &g_previous_actions[i]);
        if (g_previous_actions[i].sa_handler != SIG_IGN) sigaction(kRestoringSignals[i], &action, nullptr);
    }
    g_echo_off = 1;
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (tcsetattr(0, TCSANOW, &t) == 0) return 0;
    console_set_echo(true);
    return 1;
}

namespace {
struct termios g_before_hold;
bool g_holding = false;
}  // namespace

int console_hold_input() {
    struct termios t;
    if (g_holding || !stdin_is_terminal() || tcgetattr(0, &t) != 0) return 1;
    g_before_hold = t;
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(0, TCSANOW, &t) != 0) return 1;
    g_holding = true;
    return 0;
}

void console_release_input() {
    if (!g_holding) return;
    tcsetattr(0, TCSANOW, &g_before_hold);
    g_holding = false;
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
