// Manual-reset events over eventfd, and one poll() wait over events and sockets together.
#include "platform/event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace orvane::platform {

Event::Event() {
    fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Event::~Event() {
    if (fd_ >= 0) ::close(fd_);
}

void Event::set() {
    uint64_t one = 1;
    // A full counter (never reached: set only adds 1 and reset drains) would fail with EAGAIN,
    // and the event would still be signalled, which is all set promises.
    ssize_t r;
    do {
        r = ::write(fd_, &one, sizeof one);
    } while (r < 0 && errno == EINTR);
}

void Event::reset() {
    uint64_t value;
    ssize_t r;
    do {
        r = ::read(fd_, &value, sizeof value);
    } while (r < 0 && errno == EINTR);
}

bool Event::is_set() const {
    return wait(0) == 1;
}

int Event::wait(int timeout_ms) const {
    pollfd p{fd_, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & POLLIN) ? 1 : 0;
}

size_t PollSet::add(int fd, uint32_t want) {
    short events = 0;
    if (want & kPollReadable) events |= POLLIN;
    if (want & kPollWritable) events |= POLLOUT;
    if (want & kPollPeerClosed) events |= POLLRDHUP;
    fds_.push_back(pollfd{fd, events, 0});
    return fds_.size() - 1;
}

int PollSet::wait(int timeout_ms) {
    int r = ::poll(fds_.data(), fds_.size(), timeout_ms);
    if (r < 0) {
        for (auto& e : fds_) e.revents = 0;
        return errno == EINTR ? 0 : -1;
    }
    return r;
}

uint32_t PollSet::ready(size_t index) const {
    short r = fds_[index].revents;
    uint32_t bits = 0;
    if (r & POLLIN) bits |= kPollReadable;
    if (r & POLLOUT) bits |= kPollWritable;
    if (r & POLLRDHUP) bits |= kPollPeerClosed;
    if (r & POLLHUP) bits |= kPollHangup;
    if (r & (POLLERR | POLLNVAL)) bits |= kPollError;
    return bits;
}

}  // namespace orvane::platform
