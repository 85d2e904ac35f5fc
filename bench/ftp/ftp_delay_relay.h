// A delay relay for FTP: the control connection and every passive data connection held the same
// time each way, so a loopback server behaves like one across a long-distance link.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

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
    uint16_t port() const { return control_.port(); }
    int data_connections() const;

  private:
    // Whole reply lines from `pending`, a passive reply's port replaced by a new data relay's.
    std::string rewrite(std::string& pending);
    std::string relay_port_for(const std::string& line);

    std::chrono::milliseconds delay_;
    mutable std::mutex mutex_;
    std::deque<std::unique_ptr<DelayRelay>> data_;  // the newest last; old ones are ended
    int data_count_ = 0;
    DelayRelay control_;  // last: ended first, so no reply is rewritten while the rest goes
};

}  // namespace orvane::bench
