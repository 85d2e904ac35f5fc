// Sockets and events of the platform layer: error codes, bind/listen/accept, readiness.
#include "platform/socket.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/event.h"

namespace orvane::platform {
namespace {

TEST(SocketCodes, ErrorsMapToTheProtocolCodes) {
    EXPECT_EQ(connect_error_code(ECONNREFUSED), 101);
    EXPECT_EQ(connect_error_code(ETIMEDOUT), 102);
    EXPECT_EQ(connect_error_code(ENETUNREACH), 103);
    EXPECT_EQ(bind_error_code(EADDRINUSE), 104);
    EXPECT_EQ(bind_error_code(EADDRNOTAVAIL), 105);
    EXPECT_EQ(bind_error_code(EACCES), 106);
}

// Waits until the socket is ready for `want`; the ready bits.
uint32_t wait_ready(SocketHandle s, uint32_t want) {
    PollSet p;
    p.add(s, want);
    p.wait(5000);
    return p.ready(0);
}

TEST(Sockets, ListenAcceptConnectAndTransfer) {
    SocketHandle server = tcp_socket();
    ASSERT_NE(server, kInvalidSocket);
    ASSERT_EQ(socket_bind(server, "127.0.0.1", 0), 0);
    ASSERT_EQ(socket_listen(server, 1), 0);
    std::string address;
    uint32_t port = 0;
    ASSERT_EQ(socket_local_address(server, address, port), 0);
    EXPECT_EQ(address, "127.0.0.1");

    SocketHandle holder = tcp_socket();
    EXPECT_EQ(socket_bind(holder, "127.0.0.1", port), kBindInUse);
    EXPECT_EQ(socket_bind(holder, "192.0.2.1", 0), kBindNotAvailable);
    ASSERT_EQ(socket_bind(holder, "", 0), 0) << "empty address: all interfaces";
    EXPECT_EQ(socket_bind(holder, "", 0), kBindFailed) << "already bound";
    socket_close(holder);

    SocketHandle client = tcp_socket();
    // A port beyond 16 bits would reach this listener if it were cut; it is refused instead.
    EXPECT_EQ(socket_connect(client, "127.0.0.1", port + 65536), kConnectFailed);
    EXPECT_EQ(socket_connect(client, "127.0.0.1", 0), kConnectFailed);
    ASSERT_EQ(socket_connect(client, "127.0.0.1", port), 0);
    EXPECT_TRUE(wait_ready(client, kPollWritable) & kPollWritable);
    EXPECT_EQ(socket_take_error(client), 0);
    EXPECT_TRUE(wait_ready(server, kPollReadable) & kPollReadable);
    std::string peer;
    uint32_t peer_port = 0;
    int error = 0;
    SocketHandle accepted = socket_accept(server, &peer, &peer_port, &error);
    ASSERT_NE(accepted, kInvalidSocket);
    EXPECT_EQ(peer, "127.0.0.1");
    EXPECT_EQ(socket_accept(server, nullptr, nullptr, &error), kInvalidSocket) << "nothing more waiting";

    char buffer[16];
    EXPECT_EQ(socket_receive(accepted, buffer, sizeof buffer, &error), kSocketWouldBlock);
    EXPECT_EQ(socket_send(client, "hello", 5, &error), 5);
    EXPECT_TRUE(wait_ready(accepted, kPollReadable) & kPollReadable);
    EXPECT_EQ(socket_bytes_waiting(accepted), 5u);
    EXPECT_EQ(socket_receive(accepted, buffer, sizeof buffer, &error), 5);
    socket_close(client);
    uint32_t ready = wait_ready(accepted, kPollReadable | kPollPeerClosed);
    EXPECT_TRUE(ready & kPollPeerClosed);
    EXPECT_EQ(socket_receive(accepted, buffer, sizeof buffer, &error), kSocketClosed);
    socket_close(accepted);
    socket_close(server);
}

TEST(Sockets, ConnectFailuresGiveTheirCodes) {
    SocketHandle probe = tcp_socket();
    ASSERT_EQ(socket_bind(probe, "127.0.0.1", 0), 0);
    std::string address;
    uint32_t port = 0;
    socket_local_address(probe, address, port);
    socket_close(probe);  // nothing listens there now

    SocketHandle s = tcp_socket();
    int r = socket_connect(s, "127.0.0.1", port);
    if (r == 0) {
        // Refused later: the error comes with readiness.
        wait_ready(s, kPollWritable);
        EXPECT_EQ(connect_error_code(socket_take_error(s)), kConnectRefused);
    } else {
        EXPECT_EQ(r, kConnectRefused);
    }
    socket_close(s);
    s = tcp_socket();
    EXPECT_EQ(socket_connect(s, "not an address", 21), kConnectFailed);
    EXPECT_EQ(socket_connect(s, "", 21), kConnectFailed);
    socket_close(s);
}

TEST(Sockets, ResolveKeepsAddressesAndLooksUpNames) {
    std::string address;
    EXPECT_EQ(resolve_ipv4("10.1.2.3", address), 0);
    EXPECT_EQ(address, "10.1.2.3");
    EXPECT_EQ(resolve_ipv4("localhost", address), 0);
    EXPECT_EQ(address.rfind("127.", 0), 0u) << address;
    EXPECT_EQ(resolve_ipv4("no-such-host.invalid", address), 1);
}

TEST(Events, ManualResetAndPollTogether) {
    Event e;
    ASSERT_TRUE(e.valid());
    EXPECT_FALSE(e.is_set());
    e.set();
    e.set();
    EXPECT_TRUE(e.is_set());
    EXPECT_TRUE(e.is_set()) << "stays set until reset";
    PollSet p;
    Event other;
    p.add(other.descriptor(), kPollReadable);
    p.add(e.descriptor(), kPollReadable);
    EXPECT_EQ(p.wait(0), 1);
    EXPECT_EQ(p.ready(0), 0u);
    EXPECT_EQ(p.ready(1), kPollReadable);
    e.reset();
    EXPECT_FALSE(e.is_set());
    EXPECT_EQ(e.wait(10), 0);
}

}  // namespace
}  // namespace orvane::platform
