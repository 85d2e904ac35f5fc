// Manual-reset events over eventfd, and one poll() wait over events and sockets together.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvane::platform {

// A manual-reset event: stays signalled until reset. Its descriptor can join a PollSet, so one
// thread can wait for events and sockets at once.
class Event {
  public:
    Event();
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool valid() const { return fd_ >= 0; }
    void set();
    void reset();
    bool is_set() const;
    // 1 when signalled within timeout_ms (-1 waits without limit), 0 otherwise.
    int wait(int timeout_ms) const;
    int descriptor() const { return fd_; }

  private:
    int fd_ = -1;
};

// Readiness bits of one polled descriptor.
enum PollBits : uint32_t {
    kPollReadable = 1,
    kPollWritable = 2,
    kPollPeerClosed = 4,  // the peer shut down its sending side
    kPollHangup = 8,
    kPollError = 16,
};

// A reusable table of descriptors for one wait.
class PollSet {
  public:
    void clear() { fds_.clear(); }
    // Adds a descriptor with the readiness it waits for (kPollReadable, kPollWritable,
    // kPollPeerClosed); hang-ups and errors are always reported. Returns its index.
    size_t add(int fd, uint32_t want);
    size_t size() const { return fds_.size(); }
    // Waits up to timeout_ms (-1: no limit, 0: just look). Returns the number of ready
    // descriptors, 0 on timeout, -1 on failure (an interrupted wait counts as 0).
    int wait(int timeout_ms);
    uint32_t ready(size_t index) const;

  private:
    std::vector<pollfd> fds_;
};

}  // namespace orvane::platform
