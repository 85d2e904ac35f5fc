// The interrupt watch: sigaction handlers that count and set an eventfd, restored on the way out.
#include "platform/interrupt_watch.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace orvane::platform {

namespace {

// A handler has no context to carry: the one watch's state lives here.
std::atomic<int> g_event_fd{-1};
std::atomic<int> g_interrupts{0};
std::atomic<int> g_terminations{0};
struct sigaction g_previous_int;
struct sigaction g_previous_term;
static_assert(std::atomic<int>::is_always_lock_free, "a handler may only touch lock-free atomics");

void note_signal(int number) {
    int saved = errno;
    (number == SIGTERM ? g_terminations : g_interrupts).fetch_add(1);
    int fd = g_event_fd.load();
    if (fd >= 0) {
        uint64_t one = 1;
        ssize_t r = ::write(fd, &one, sizeof one);
        (void)r;
    }
    errno = saved;
}

}  // namespace

InterruptWatch::InterruptWatch() {
    if (g_event_fd.load() >= 0) return;  // another watch owns the handlers
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return;
    g_interrupts = 0;
    g_terminations = 0;
    g_event_fd = fd;
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    // Blocking reads and writes elsewhere carry on; the waits that matter poll the descriptor.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &g_previous_int);
    sigaction(SIGTERM, &action, &g_previous_term);
    active_ = true;
}

InterruptWatch::~InterruptWatch() {
    if (!active_) return;
    sigaction(SIGINT, &g_previous_int, nullptr);
    sigaction(SIGTERM, &g_previous_term, nullptr);
    int fd = g_event_fd.exchange(-1);
    ::close(fd);
}

int InterruptWatch::descriptor() const {
    return active_ ? g_event_fd.load() : -1;
}

InterruptCounts InterruptWatch::take() {
    InterruptCounts counts;
    if (!active_) return counts;
    uint64_t value;
    ssize_t r;
    do {
        r = ::read(g_event_fd.load(), &value, sizeof value);
    } while (r < 0 && errno == EINTR);
    counts.interrupts = g_interrupts.exchange(0);
    counts.terminations = g_terminations.exchange(0);
    return counts;
}

int interrupt_exit_code(int signal_number) {
    return 128 + signal_number;
}

}  // namespace orvane::platform
