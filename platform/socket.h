// Non-blocking IPv4 TCP sockets: create, resolve, connect, bind, listen, accept, send, receive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane::platform {

using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

// Result codes of connect and bind, as the protocol layers expect them.
enum SocketCode : int {
    kConnectRefused = 101,
    kConnectTimedOut = 102,
    kConnectFailed = 103,
    kBindInUse = 104,
    kBindNotAvailable = 105,
    kBindFailed = 106,
};
// The code of a failed connect or bind for a system error number.
int connect_error_code(int error);
int bind_error_code(int error);

// A new non-blocking stream socket, or kInvalidSocket.
SocketHandle tcp_socket();
// Keeps at most about `bytes` written but not yet sent in the socket's queue before it reports
// itself writable again (0: the socket is left as it is).
void socket_limit_unsent(SocketHandle s, size_t bytes);
// Shuts both directions down and closes. Harmless on kInvalidSocket.
void socket_close(SocketHandle s);
// Ends the sending direction only (the peer reads the end of the stream); reads go on.
void socket_shutdown_send(SocketHandle s);

// Host name or dotted address to a dotted IPv4 address (first result). 0 on success, 1 when the
// lookup fails. The lookup blocks the calling thread.
int resolve_ipv4(const std::string& host, std::string& address);
// True when the text is a dotted IPv4 address.
bool is_ipv4_address(const std::string& text);

// 0 when connected or in progress; 101, 102 or 103 on failure (a bad address text gives 103).
int socket_connect(SocketHandle s, const std::string& address, uint32_t port);
// Binds to the address (all interfaces when empty) and port. 0, 104, 105 or 106.
int socket_bind(SocketHandle s, const std::string& address, uint32_t port);
// 0 on success, 1 on failure.
int socket_listen(SocketHandle s, int backlog);
// A non-blocking accepted socket with its peer, or kInvalidSocket (error in *error).
SocketHandle socket_accept(SocketHandle s, std::string* peer_address, uint32_t* peer_port, int* error);
// getsockname / getpeername as dotted text and port. 0 on success, 1 on failure.
int socket_local_address(SocketHandle s, std::string& address, uint32_t& port);
int socket_peer_address(SocketHandle s, std::string& address, uint32_t& port);

// Transfer results: bytes moved (> 0), kSocketClosed (receive: the peer has closed),
// kSocketWouldBlock, or kSocketError with the error number in *error.
inline constexpr int64_t kSocketClosed = 0;
inline constexpr int64_t kSocketWouldBlock = -1;
inline constexpr int64_t kSocketError = -2;
int64_t socket_receive(SocketHandle s, void* data, size_t n, int* error);
int64_t socket_send(SocketHandle s, const void* data, size_t n, int* error);

// The socket's pending error (0 when none), cleared by reading it.
int socket_take_error(SocketHandle s);
// Bytes that can be read at once without waiting.
size_t socket_bytes_waiting(SocketHandle s);

// The text of a system error number, for messages.
std::string socket_error_text(int error);

}  // namespace orvane::platform
