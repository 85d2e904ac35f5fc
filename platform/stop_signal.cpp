// Stop signals through signalfd.
#include "platform/stop_signal.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace orvane::platform {

int open_stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
    return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

int take_stop_signal(int fd) {
    signalfd_siginfo info{};
    ssize_t r;
    do {
        r = ::read(fd, &info, sizeof info);
    } while (r < 0 && errno == EINTR);
    return r == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

}  // namespace orvane::platform
