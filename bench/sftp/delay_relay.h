// A TCP relay on 127.0.0.1 that holds every chunk for a fixed time in each direction: a long-distance
// link for the SFTP bench (round trip + 2 x delay) without a bandwidth limit of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"

namespace orvane::bench {

class DelayRelay {
  public:
    // Connections made to port() are forwarded to 127.0.0.1:target_port, every chunk `delay` late.
    DelayRelay(uint16_t target_port, std::chrono::milliseconds delay);
    // Ends every open connection and joins every thread.
    ~DelayRelay();
    DelayRelay(const DelayRelay&) = delete;
    DelayRelay& operator=(const DelayRelay&) = delete;

    // Rewrites what the target sends back (FTP: the passive replies, so that data connections come
    // through a relay too). It takes what it can from `pending` (whole lines) and returns the bytes to
    // pass on; the rest stays for the next read. Set before start().
    using ReplyFilter = std::function<std::string(std::string& pending)>;
    void set_reply_filter(ReplyFilter filter) { filter_ = std::move(filter); }

    // 0 when listening; 1 with the cause.
    int start(std::string& cause);
    uint16_t port() const { return listener_.port(); }
    // Connections accepted and forwarded so far.
    int forwarded() const { return forwarded_.load(); }

  private:
    struct Link {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void accept_loop();
    void open_link(int client);

    test::Listener listener_;
    uint16_t target_port_;
    std::chrono::milliseconds delay_;
    ReplyFilter filter_;
    int stop_[2] = {-1, -1};  // a byte written here ends every loop
    std::thread acceptor_;
    std::vector<std::unique_ptr<Link>> links_;  // only the acceptor thread touches it until the stop
    std::atomic<int> forwarded_{0};
};

}  // namespace orvane::bench
