// Loopback peers for network tests: a listener, blocking helpers, and a threaded echo server.
#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

namespace orvane::test {

sockaddr_in loopback_address(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

Listener::Listener(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopback_address(port);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 1024);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
}

Listener::~Listener() {
    ::close(fd_);
}

int Listener::accept(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

int connect_loopback(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback_address(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t r = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

std::string receive_until_close(int fd, int timeout_ms) {
    std::string out;
    char buffer[8192];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) != 1) break;
        ssize_t r = ::recv(fd, buffer, sizeof buffer, 0);
        if (r <= 0) break;
        out.append(buffer, static_cast<size_t>(r));
    }
    return out;
}

void close_fd(int fd) {
    if (fd >= 0) ::close(fd);
}

uint16_t unused_port() {
    Listener l;
    return l.port();
}

RefusingPort::RefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback_address(0);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
}

RefusingPort::~RefusingPort() {
    ::close(fd_);
}

EchoServer::EchoServer() {
    if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) return;
    thread_ = std::thread([this] { run(); });
}

EchoServer::~EchoServer() {
    if (stop_pipe_[1] >= 0) {
        char b = 1;
        (void)!::write(stop_pipe_[1], &b, 1);
    }
    if (thread_.joinable()) thread_.join();
    ::close(stop_pipe_[0]);
    ::close(stop_pipe_[1]);
}

void EchoServer::run() {
    std::vector<int> clients;
    std::vector<pollfd> fds;
    char buffer[65536];
    for (;;) {
        fds.clear();
        fds.push_back({stop_pipe_[0], POLLIN, 0});
        fds.push_back({listener_.fd(), POLLIN, 0});
        for (int c : clients) fds.push_back({c, POLLIN, 0});
        ::poll(fds.data(), fds.size(), -1);
        if (fds[0].revents) break;
        if (fds[1].revents) {
            int c = listener_.accept(0);
            if (c >= 0) clients.push_back(c);
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            int c = fds[i].fd;
            ssize_t r = ::recv(c, buffer, sizeof buffer, MSG_DONTWAIT);
            if (r > 0) {
                send_all(c, std::string(buffer, static_cast<size_t>(r)));
            } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                ::close(c);
                clients.erase(std::find(clients.begin(), clients.end(), c));
            }
        }
    }
    for (int c : clients) ::close(c);
}

}  // namespace orvane::test
