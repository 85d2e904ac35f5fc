// The bench's delay relay: bytes cross both ways whole and in order while both sides send at once, a
// side's close is passed on after its last byte, and destroying the relay ends a connection still open.
#include "bench/sftp/delay_relay.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <string>
#include <thread>

#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace orvane::bench {
namespace {

// 0 when the peer has closed (after a bounded wait for it).
ssize_t read_after_close(int fd) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 10000);
    char c;
    return recv(fd, &c, 1, MSG_DONTWAIT);
}

TEST(DelayRelay, CarriesBothWaysAtOnceAndPassesOnEachClose) {
    test::Listener target;
    DelayRelay relay(target.port(), std::chrono::milliseconds(5));
    std::string cause;
    ASSERT_EQ(relay.start(cause), 0) << cause;
    int client = test::connect_loopback(relay.port());
    ASSERT_GE(client, 0);
    int server = target.accept();
    ASSERT_GE(server, 0);
    const std::string up = test::random_bytes(8 << 20, 1), down = test::random_bytes(8 << 20, 2);
    auto send_then_close = [](int fd, const std::string& bytes) {
        test::send_all(fd, bytes);
        shutdown(fd, SHUT_WR);
    };
    std::thread client_sends(send_then_close, client, up), server_sends(send_then_close, server, down);
    std::string at_server;
    std::thread server_reads([&] { at_server = test::receive_until_close(server, 10000); });
    std::string at_client = test::receive_until_close(client, 10000);
    for (std::thread* t : {&client_sends, &server_sends, &server_reads}) t->join();
    EXPECT_EQ(at_server.size(), up.size());
    EXPECT_TRUE(at_server == up);
    EXPECT_EQ(at_client.size(), down.size());
    EXPECT_TRUE(at_client == down);
    EXPECT_EQ(read_after_close(client), 0);
    EXPECT_EQ(read_after_close(server), 0);
    EXPECT_EQ(relay.forwarded(), 1);
    test::close_fd(client);
    test::close_fd(server);
}

TEST(DelayRelay, StoppingEndsOpenConnections) {
    test::Listener target;
    int client = -1, server = -1;
    {
        DelayRelay relay(target.port(), std::chrono::milliseconds(25));
        std::string cause;
        ASSERT_EQ(relay.start(cause), 0) << cause;
        client = test::connect_loopback(relay.port());
        server = target.accept();
        ASSERT_GE(server, 0);
    }
    EXPECT_EQ(read_after_close(client), 0);
    EXPECT_EQ(read_after_close(server), 0);
    test::close_fd(client);
    test::close_fd(server);
}

}  // namespace
}  // namespace orvane::bench
