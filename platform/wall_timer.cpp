// The wall-clock timer over timerfd (CLOCK_REALTIME, cancelled when the clock is set).
#include "platform/wall_timer.h"

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace orvane::platform {

WallClockTimer::WallClockTimer() {
    fd_ = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
}

WallClockTimer::~WallClockTimer() {
    if (fd_ >= 0) ::close(fd_);
}

void WallClockTimer::arm_in(int ms) {
    if (fd_ < 0) return;
    itimerspec spec{};
    int flags = 0;
    if (ms >= 0) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        int64_t ns = now.tv_nsec + static_cast<int64_t>(ms % 1000) * 1000000;
        spec.it_value.tv_sec = now.tv_sec + ms / 1000 + ns / 1000000000;
        spec.it_value.tv_nsec = ns % 1000000000;
        if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;  // 0 disarms
        flags = TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET;
    }
    ::timerfd_settime(fd_, flags, &spec, nullptr);
}

void WallClockTimer::drain() {
    uint64_t expirations;
    while (fd_ >= 0) {
        ssize_t r = ::read(fd_, &expirations, sizeof expirations);
        if (r < 0 && errno == EINTR) continue;
        break;  // a count, EAGAIN (nothing), or ECANCELED (the clock was set)
    }
}

}  // namespace orvane::platform
