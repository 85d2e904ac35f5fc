// Non-blocking IPv4 TCP sockets over the BSD socket calls.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace orvane::platform {

namespace {

// A port above 65535 is refused rather than cut to 16 bits (which would reach another service).
int make_address(const std::string& address, uint32_t port, sockaddr_in& out) {
    std::memset(&out, 0, sizeof out);
    if (port > 65535) {
        errno = EINVAL;
        return 1;
    }
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<uint16_t>(port));
    if (address.empty()) {
        out.sin_addr.s_addr = htonl(INADDR_ANY);
        return 0;
    }
    return inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1 ? 0 : 1;
}

int address_text(const sockaddr_in& a, std::string& address, uint32_t& port) {
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &a.sin_addr, text, sizeof text)) return 1;
    address = text;
    port = ntohs(a.sin_port);
    return 0;
}

}  // namespace

int connect_error_code(int error) {
    switch (error) {
        case ECONNREFUSED:
            return kConnectRefused;
        case ETIMEDOUT:
            return kConnectTimedOut;
        default:
            return kConnectFailed;
    }
}

int bind_error_code(int error) {
    switch (error) {
        case EADDRINUSE:
            return kBindInUse;
        case EADDRNOTAVAIL:
            return kBindNotAvailable;
        default:
            return kBindFailed;
    }
}

SocketHandle tcp_socket() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) return kInvalidSocket;
    int one = 1;
    // Commands and replies are small and each waits for the other: no Nagle delay.
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

void socket_limit_unsent(SocketHandle s, size_t bytes) {
    if (s == kInvalidSocket || bytes == 0) return;
    int limit = static_cast<int>(std::min<size_t>(bytes, 1u << 30));
    setsockopt(s, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &limit, sizeof limit);
}

void socket_close(SocketHandle s) {
    if (s == kInvalidSocket) return;
    // Bytes left unread make the kernel answer the close with a reset, and a reset can make the
    // peer drop data it has received but not yet read: the end of an upload. Read what is already
    // waiting first (a TLS 1.3 server's session tickets arrive on upload connections unasked).
    char sink[4096];
    for (int i = 0; i < 64; ++i) {
        ssize_t r = ::recv(s, sink, sizeof sink, MSG_DONTWAIT);
        if (r <= 0) break;
    }
    ::shutdown(s, SHUT_RDWR);
    ::close(s);
}

void socket_shutdown_send(SocketHandle s) {
    if (s != kInvalidSocket) ::shutdown(s, SHUT_WR);
}

bool is_ipv4_address(const std::string& text) {
    in_addr a;
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

int resolve_ipv4(const std::string& host, std::string& address) {
    if (is_ipv4_address(host)) {
        address = host;
        return 0;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) return 1;
    uint32_t port = 0;
    int r = address_text(*reinterpret_cast<const sockaddr_in*>(result->ai_addr), address, port);
    freeaddrinfo(result);
    return r;
}

int socket_connect(SocketHandle s, const std::string& address, uint32_t port) {
    sockaddr_in a;
    if (address.empty() || port == 0 || make_address(address, port, a) != 0) return kConnectFailed;
    int r;
    do {
        r = ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } while (r < 0 && errno == EINTR);
    if (r == 0 || errno == EINPROGRESS) return 0;
    return connect_error_code(errno);
}

int socket_bind(SocketHandle s, const std::string& address, uint32_t port) {
    sockaddr_in a;
    if (make_address(address, port, a) != 0) return kBindNotAvailable;
    // Lets a listener reuse a port whose earlier connections linger in TIME_WAIT; two live
    // listeners on one port are still refused.
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return 0;
    return bind_error_code(errno);
}

int socket_listen(SocketHandle s, int backlog) {
    return ::listen(s, backlog) == 0 ? 0 : 1;
}

SocketHandle socket_accept(SocketHandle s, std::string* peer_address, uint32_t* peer_port, int* error) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int r;
    do {
        r = ::accept4(s, reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        if (error) *error = errno;
        return kInvalidSocket;
    }
    int one = 1;
    setsockopt(r, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string text;
    uint32_t port = 0;
    address_text(a, text, port);
    if (peer_address) *peer_address = text;
    if (peer_port) *peer_port = port;
    return r;
}

int socket_local_address(SocketHandle s, std::string& address, uint32_t& port) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET) return 1;
    return address_text(a, address, port);
}

int socket_peer_address(SocketHandle s, std::string& address, uint32_t& port) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET) return 1;
    return address_text(a, address, port);
}

int64_t socket_receive(SocketHandle s, void* data, size_t n, int* error) {
    ssize_t r;
    do {
        r = ::recv(s, data, n, 0);
    } while (r < 0 && errno == EINTR);
    if (r >= 0) return r;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kSocketWouldBlock;
    if (error) *error = errno;
    return kSocketError;
}

int64_t socket_send(SocketHandle s, const void* data, size_t n, int* error) {
    ssize_t r;
    do {
        r = ::send(s, data, n, MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    if (r >= 0) return r;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kSocketWouldBlock;
    if (error) *error = errno;
    return kSocketError;
}

int socket_take_error(SocketHandle s) {
    int e = 0;
    socklen_t len = sizeof e;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &e, &len) != 0) return errno;
    return e;
}

size_t socket_bytes_waiting(SocketHandle s) {
    int n = 0;
    if (::ioctl(s, FIONREAD, &n) != 0 || n < 0) return 0;
    return static_cast<size_t>(n);
}

std::string socket_error_text(int error) {
    char buffer[128];
    return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace orvane::platform
