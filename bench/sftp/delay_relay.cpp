// The delay relay: an acceptor thread, and per connection one thread whose poll loop holds what each
// side sent in a queue stamped with the time it may leave.
#include "bench/sftp/delay_relay.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <deque>
#include <utility>

namespace orvane::bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadBlock = 256 * 1024;
// What one direction may hold before the relay stops reading from its sender: far more than 25 ms of
// loopback traffic, so it bounds memory without slowing a transfer.
constexpr size_t kMaxHeld = size_t{64} << 20;
// The bench opens one connection at a time; more than this at once is not one of its own.
constexpr size_t kMaxOpenLinks = 8;

struct Chunk {
    Clock::time_point due;
    std::string bytes;
    size_t sent = 0;
};

// One direction of a connection: what was read from `from` and waits to be written to `to`.
struct Lane {
    Lane(int sender, int receiver) : from(sender), to(receiver) {}
    int from;
    int to;
    std::deque<Chunk> held;
    size_t held_bytes = 0;
    bool sender_done = false;  // `from` has shut its side
    bool passed_on = false;    // ... and `to` has been told, after the last held byte
    const DelayRelay::ReplyFilter* filter = nullptr;
    std::string pending;  // read but not yet taken by the filter
};

bool would_block() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

// Reads what the sender has; false when the connection failed.
bool take_in(Lane& lane, Clock::time_point due, char* block) {
    ssize_t n = recv(lane.from, block, kReadBlock, MSG_DONTWAIT);
    if (n == 0) lane.sender_done = true;
    if (n < 0) return would_block();
    std::string bytes(block, static_cast<size_t>(n));
    if (lane.filter) {
        lane.pending += bytes;
        bytes = n == 0 ? std::exchange(lane.pending, {}) : (*lane.filter)(lane.pending);
    }
    if (bytes.empty()) return true;
    lane.held_bytes += bytes.size();
    lane.held.push_back({due, std::move(bytes)});
    return true;
}

// Writes the chunks whose time has come, in order; false when the connection failed.
bool give_out(Lane& lane, Clock::time_point now) {
    while (!lane.held.empty() && lane.held.front().due <= now) {
        Chunk& c = lane.held.front();
        ssize_t n =
            send(lane.to, c.bytes.data() + c.sent, c.bytes.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) return would_block();
        c.sent += static_cast<size_t>(n);
        if (c.sent < c.bytes.size()) return true;
        lane.held_bytes -= c.bytes.size();
        lane.held.pop_front();
    }
    if (lane.sender_done && lane.held.empty() && !lane.passed_on) {
        shutdown(lane.to, SHUT_WR);
        lane.passed_on = true;
    }
    return true;
}

timespec until(Clock::time_point wake, Clock::time_point now) {
    auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(wake - now, Clock::duration::zero()));
    return {static_cast<time_t>(ns.count() / 1000000000), static_cast<long>(ns.count() % 1000000000)};
}

// Moves bytes both ways between `a` and `b` until both sides have shut, one fails, or the stop.
void run_link(int a, int b, Clock::duration delay, int stop_fd, const DelayRelay::ReplyFilter* filter) {
    Lane lanes[2] = {{a, b}, {b, a}};
    lanes[1].filter = filter;
    std::string block(kReadBlock, '\0');
    while (!(lanes[0].passed_on && lanes[1].passed_on)) {
        Clock::time_point now = Clock::now(), wake = Clock::time_point::max();
        pollfd fds[3] = {{a, 0, 0}, {b, 0, 0}, {stop_fd, POLLIN, 0}};
        for (int i = 0; i < 2; ++i) {
            const Lane& lane = lanes[i];
            if (!lane.sender_done && lane.held_bytes < kMaxHeld) fds[i].events |= POLLIN;
            if (lane.held.empty()) continue;
            if (lane.held.front().due <= now)
                fds[1 - i].events |= POLLOUT;
            else
                wake = std::min(wake, lane.held.front().due);
        }
        timespec left = until(wake, now);
        if (ppoll(fds, 3, wake == Clock::time_point::max() ? nullptr : &left, nullptr) < 0 && !would_block())
            return;
        if (fds[2].revents != 0 || (fds[0].revents | fds[1].revents) & POLLERR) return;
        now = Clock::now();
        bool ok = true;
        for (int i = 0; i < 2; ++i)
            if (fds[i].revents & (POLLIN | POLLHUP) && fds[i].events & POLLIN)
                ok = take_in(lanes[i], now + delay, block.data()) && ok;
        for (Lane& lane : lanes) ok = give_out(lane, now) && ok;
        if (!ok) return;
    }
}

void no_delay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

DelayRelay::DelayRelay(uint16_t target_port, std::chrono::milliseconds delay)
    : target_port_(target_port), delay_(delay) {}

DelayRelay::~DelayRelay() {
    if (stop_[1] >= 0) {
        char b = 1;
        (void)!write(stop_[1], &b, 1);
    }
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& link : links_) link->thread.join();
    for (int fd : stop_)
        if (fd >= 0) close(fd);
}

int DelayRelay::start(std::string& cause) {
    if (listener_.fd() < 0 || listener_.port() == 0) {
        cause = "cannot listen on 127.0.0.1";
        return 1;
    }
    if (pipe2(stop_, O_CLOEXEC) != 0) {
        cause = "no pipe";
        return 1;
    }
    acceptor_ = std::thread([this] { accept_loop(); });
    return 0;
}

void DelayRelay::accept_loop() {
    for (;;) {
        pollfd fds[2] = {{listener_.fd(), POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && !would_block()) return;
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        int client = accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) open_link(client);
    }
}

void DelayRelay::open_link(int client) {
    std::erase_if(links_, [](const std::unique_ptr<Link>& link) {
        if (!link->done) return false;
        link->thread.join();
        return true;
    });
    int server = links_.size() < kMaxOpenLinks ? test::connect_loopback(target_port_) : -1;
    if (server < 0) {
        close(client);
        return;
    }
    no_delay(client);
    no_delay(server);
    auto link = std::make_unique<Link>();
    Link* owned = link.get();
    owned->thread = std::thread([this, client, server, owned] {
        run_link(client, server, delay_, stop_[0], filter_ ? &filter_ : nullptr);
        close(client);
        close(server);
        owned->done = true;
    });
    links_.push_back(std::move(link));
    ++forwarded_;
}

}  // namespace orvane::bench
