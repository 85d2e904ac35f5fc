// The FTP delay relay: passive replies (227 and 229) are read line by line and rewritten to point at
// a data relay made for that one data connection.
#include "bench/ftp/ftp_delay_relay.h"

#include <cstdio>

namespace orvane::bench {

namespace {

// Transfers run one after another; a data relay this far back has long finished.
constexpr size_t kKeptDataRelays = 48;  // several sessions may each have one in use

}  // namespace

FtpDelayRelay::FtpDelayRelay(uint16_t server_port, std::chrono::milliseconds delay)
    : delay_(delay), control_(server_port, delay) {
    control_.set_reply_filter([this](std::string& pending) { return rewrite(pending); });
}

FtpDelayRelay::~FtpDelayRelay() = default;

int FtpDelayRelay::start(std::string& cause) {
    return control_.start(cause);
}

int FtpDelayRelay::data_connections() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return data_count_;
}

std::string FtpDelayRelay::relay_port_for(const std::string& line) {
    int h1, h2, h3, h4, p1, p2, port = 0;
    size_t open = line.find('(');
    if (open == std::string::npos) return line;
    bool epsv = line.rfind("229", 0) == 0;
    if (epsv ? std::sscanf(line.c_str() + open, "(|||%d|)", &port) != 1
             : std::sscanf(line.c_str() + open, "(%d,%d,%d,%d,%d,%d)", &h1, &h2, &h3, &h4, &p1, &p2) != 6)
        return line;
    if (!epsv) port = p1 * 256 + p2;
    auto relay = std::make_unique<DelayRelay>(static_cast<uint16_t>(port), delay_);
    std::string cause;
    if (relay->start(cause) != 0) return line;
    int ours = relay->port();
    std::lock_guard<std::mutex> hold(mutex_);
    data_.push_back(std::move(relay));
    if (data_.size() > kKeptDataRelays) data_.pop_front();
    ++data_count_;
    char text[96];
    if (epsv)
        std::snprintf(text, sizeof text, "229 Entering Extended Passive Mode (|||%d|)\r\n", ours);
    else
        std::snprintf(text, sizeof text, "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d)\r\n", h1, h2, h3, h4,
                      ours / 256, ours % 256);
    return text;
}

std::string FtpDelayRelay::rewrite(std::string& pending) {
    std::string out;
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = pending.substr(start, end + 1 - start);
        bool passive = line.rfind("227 ", 0) == 0 || line.rfind("229 ", 0) == 0;
        out += passive ? relay_port_for(line) : line;
    }
    pending.erase(0, start);
    return out;
}

}  // namespace orvane::bench
