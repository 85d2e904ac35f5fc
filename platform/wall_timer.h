// A timer on the wall clock, for sleeps until a time of day: it fires on time after a suspend
// (a plain poll() time-out does not count the time asleep) and at once when the clock is set.
#pragma once

namespace orvane::platform {

class WallClockTimer {
  public:
    WallClockTimer();
    ~WallClockTimer();
    WallClockTimer(const WallClockTimer&) = delete;
    WallClockTimer& operator=(const WallClockTimer&) = delete;

    bool valid() const { return fd_ >= 0; }
    // Readable once the time has come, or the clock was set.
    int descriptor() const { return fd_; }
    // Fires `ms` milliseconds from now by the wall clock; a negative value disarms it.
    void arm_in(int ms);
    // Empties a firing (or a clock-set notice).
    void drain();

  private:
    int fd_ = -1;
};

}  // namespace orvane::platform
