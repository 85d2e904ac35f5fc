// An FTP-aware delay relay on 127.0.0.1: the control connection and every passive data connection go
// through a DelayRelay, so each round trip of either costs the added delay, as on a long link.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/sftp/delay_relay.h"

namespace orvane::bench {

class FtpDelayRelay {
  public:
    FtpDelayRelay(uint16_t server_port, std::chrono::milliseconds delay);
    ~FtpDelayRelay();
    FtpDelayRelay(const FtpDelayRelay&) = delete;
    FtpDelayRelay& operator=(const FtpDelayRelay&) = delete;

    // 0 when listening; 1 with the cause.
    int start(std::string& cause);
    // Where clients connect.
    uint16_t port() const { return control_.port(); }
    // Passive replies rewritten so far (a run that bypassed the relay rewrote none).
    int data_relays() const;

  private:
    struct Link {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void accept_loop();
    void rewrite_link(int client, int server);
    // A relay of its own for the server's data port; the port clients are to use instead, or 0.
    uint16_t relay_data_port(uint16_t server_data_port);
    std::string rewrite(const std::string& line);

    uint16_t server_port_;
    std::chrono::milliseconds delay_;
    test::Listener rewriter_;  // between the delaying control relay and the server
    DelayRelay control_;
    int stop_[2] = {-1, -1};
    std::thread acceptor_;
    std::vector<std::unique_ptr<Link>> links_;
    mutable std::mutex lock_;
    std::deque<std::unique_ptr<DelayRelay>> data_;  // the most recent ones; older transfers are over
    int rewritten_ = 0;
};

}  // namespace orvane::bench
