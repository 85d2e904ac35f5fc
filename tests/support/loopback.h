// Loopback peers for network tests: a listener, blocking helpers, and a threaded echo server.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace orvane::test {

// A listening socket on 127.0.0.1 with a kernel-chosen port.
class Listener {
  public:
    // port 0: the kernel chooses.
    explicit Listener(uint16_t port = 0);
    ~Listener();
    uint16_t port() const { return port_; }
    int fd() const { return fd_; }
    // A connected socket, or -1 after timeout_ms.
    int accept(int timeout_ms = 5000);

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// 127.0.0.1:port.
sockaddr_in loopback_address(uint16_t port);
// A blocking client socket connected to 127.0.0.1:port, or -1.
int connect_loopback(uint16_t port);
bool send_all(int fd, const std::string& data);
// Reads until the peer closes or timeout_ms passes.
std::string receive_until_close(int fd, int timeout_ms = 5000);
void close_fd(int fd);
// A port on 127.0.0.1 that nothing listens on (just released).
uint16_t unused_port();

// A port on 127.0.0.1 that refuses every connection for as long as this lives: bound, never
// listening, so no other program can start listening on it meanwhile.
class RefusingPort {
  public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    uint16_t port() const { return port_; }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// Echoes every byte back on every accepted connection, from one thread, until destroyed.
class EchoServer {
  public:
    EchoServer();
    ~EchoServer();
    uint16_t port() const { return listener_.port(); }

  private:
    void run();
    Listener listener_;
    int stop_pipe_[2] = {-1, -1};
    std::thread thread_;
};

// Waits until pred() is true or the timeout passes; returns pred().
template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace orvane::test
