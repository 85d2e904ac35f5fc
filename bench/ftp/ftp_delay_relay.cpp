// The FTP delay relay: client -> DelayRelay -> rewriter -> server. The rewriter passes bytes through
// at once, but reads the server's replies line by line and points each 227 and 229 reply at a fresh
// DelayRelay in front of the data port the server named.
#include "bench/ftp/ftp_delay_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <regex>

namespace orvane::bench {

namespace {

// A data connection is opened right after its reply; a few dozen kept cover every transfer in flight.
constexpr size_t kKeptDataRelays = 48;

bool send_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

FtpDelayRelay::FtpDelayRelay(uint16_t server_port, std::chrono::milliseconds delay)
    : server_port_(server_port), delay_(delay), control_(rewriter_.port(), delay) {}

FtpDelayRelay::~FtpDelayRelay() {
    if (stop_[1] >= 0) {
        char b = 1;
        (void)!write(stop_[1], &b, 1);
    }
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& link : links_) link->thread.join();
    for (int fd : stop_)
        if (fd >= 0) close(fd);
}

int FtpDelayRelay::start(std::string& cause) {
    if (rewriter_.fd() < 0 || pipe2(stop_, O_CLOEXEC) != 0) {
        cause = "cannot listen on 127.0.0.1";
        return 1;
    }
    if (control_.start(cause) != 0) return 1;
    acceptor_ = std::thread([this] { accept_loop(); });
    return 0;
}

int FtpDelayRelay::data_relays() const {
    std::lock_guard<std::mutex> hold(lock_);
    return rewritten_;
}

void FtpDelayRelay::accept_loop() {
    for (;;) {
        pollfd fds[2] = {{rewriter_.fd(), POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        int client = accept4(rewriter_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        int server = test::connect_loopback(server_port_);
        if (server < 0) {
            close(client);
            continue;
        }
        auto link = std::make_unique<Link>();
        Link* owned = link.get();
        owned->thread = std::thread([this, client, server, owned] {
            rewrite_link(client, server);
            close(client);
            close(server);
            owned->done = true;
        });
        links_.push_back(std::move(link));
    }
}

uint16_t FtpDelayRelay::relay_data_port(uint16_t server_data_port) {
    auto relay = std::make_unique<DelayRelay>(server_data_port, delay_);
    std::string cause;
    if (relay->start(cause) != 0) return 0;
    uint16_t port = relay->port();
    std::unique_ptr<DelayRelay> oldest;
    {
        std::lock_guard<std::mutex> hold(lock_);
        data_.push_back(std::move(relay));
        ++rewritten_;
        if (data_.size() > kKeptDataRelays) {
            oldest = std::move(data_.front());
            data_.pop_front();
        }
    }
    return port;  // `oldest` stops here, outside the lock
}

std::string FtpDelayRelay::rewrite(const std::string& line) {
    static const std::regex pasv(R"(^227 ([^(]*)\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)(.*)$)");
    static const std::regex epsv(R"(^229 ([^(]*)\(\|\|\|(\d+)\|\)(.*)$)");
    std::smatch m;
    if (std::regex_match(line, m, pasv)) {
        uint16_t port = relay_data_port(static_cast<uint16_t>(std::stoi(m[6]) * 256 + std::stoi(m[7])));
        char text[96];
        std::snprintf(text, sizeof text, "(127,0,0,1,%d,%d)", port / 256, port % 256);
        return "227 " + m[1].str() + text + m[8].str();
    }
    if (std::regex_match(line, m, epsv)) {
        uint16_t port = relay_data_port(static_cast<uint16_t>(std::stoi(m[2])));
        return "229 " + m[1].str() + "(|||" + std::to_string(port) + "|)" + m[3].str();
    }
    return line;
}

void FtpDelayRelay::rewrite_link(int client, int server) {
    std::string pending;  // the server's bytes after its last complete line
    char block[16384];
    for (;;) {
        pollfd fds[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(fds, 3, -1) < 0 && errno != EINTR) return;
        if (fds[2].revents != 0) return;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = recv(client, block, sizeof block, 0);
            if (n <= 0 || !send_all(server, std::string(block, static_cast<size_t>(n)))) return;
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = recv(server, block, sizeof block, 0);
            if (n <= 0) return;
            pending.append(block, static_cast<size_t>(n));
            std::string out;
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, end + 1);
                pending.erase(0, end + 1);
                bool cr = line.size() >= 2 && line[line.size() - 2] == '\r';
                std::string bare = line.substr(0, line.size() - (cr ? 2 : 1));
                out += rewrite(bare) + (cr ? "\r\n" : "\n");
            }
            if (!send_all(client, out)) return;
        }
    }
}

}  // namespace orvane::bench
