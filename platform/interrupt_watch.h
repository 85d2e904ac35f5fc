// Ctrl-C and termination requests (SIGINT, SIGTERM) turned into a descriptor a poll() can wait on.
#pragma once

namespace orvane::platform {

// What came since the last take().
struct InterruptCounts {
    int interrupts = 0;    // SIGINT
    int terminations = 0;  // SIGTERM
    bool any() const { return interrupts + terminations > 0; }
};

// While one lives, SIGINT and SIGTERM do nothing but note themselves: the handler counts the
// signal and sets an eventfd (both safe inside a handler). The handlers that were there before
// come back when it ends, so a line editor keeps its own Ctrl-C at the prompt. One at a time.
class InterruptWatch {
  public:
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    bool active() const { return active_; }
    // Readable while a signal waits to be taken; -1 when the watch could not be set up.
    int descriptor() const;
    InterruptCounts take();

  private:
    bool active_ = false;
};

// The exit status a shell gives a program ended by this signal (128 + its number).
int interrupt_exit_code(int signal_number);

}  // namespace orvane::platform
