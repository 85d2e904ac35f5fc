// The TLS channel against a real vsftpd with explicit AUTH TLS and require_ssl_reuse: control and data.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "client/transfer/tls/tls_channel.h"
#include "client/transfer/tls/tls_context.h"
#include "tests/client/transfer/tls/tls_test_peer.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::connect_loopback;

// One socket, plain or through a TLS channel, moved by hand the way the network core moves it.
struct Link {
    int fd = -1;
    std::unique_ptr<ByteFilter> tls;
    std::string received;
    bool closed = false;

    ~Link() {
        if (fd >= 0) close(fd);
    }
    void send_text(const std::string& text) {
        if (tls) {
            tls->put_application(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        } else {
            ::send(fd, text.data(), text.size(), 0);
        }
        flush();
    }
    void flush() {
        if (!tls) return;
        uint8_t out[8192];
        while (tls->network_output_waiting()) {
            size_t n = tls->get_network(out, sizeof out);
            if (n == 0) break;
            ::send(fd, out, n, MSG_NOSIGNAL);
        }
    }
    // Takes whatever the socket holds now.
    void service() {
        uint8_t buffer[8192];
        for (;;) {
            ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0) closed = true;
            if (n <= 0) break;
            if (!tls) {
                received.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
                continue;
            }
            tls->put_network(buffer, static_cast<size_t>(n));
            size_t got;
            while ((got = tls->get_application(buffer, sizeof buffer)) > 0)
                received.append(reinterpret_cast<char*>(buffer), got);
        }
        flush();
    }
};

// Polls the links until `done` holds or five seconds pass.
template <typename Done>
bool run_until(Link& a, Link* b, Done done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (a.tls && a.tls->error()) return false;
        pollfd p[2] = {{a.fd, POLLIN, 0}, {b ? b->fd : -1, POLLIN, 0}};
        poll(p, b ? 2 : 1, 20);
        a.service();
        if (b && !b->closed) b->service();
    }
    return true;
}

// The next complete reply ("ddd text" line) from the link, removed from what it received.
std::string reply(Link& link, Link* other = nullptr) {
    std::string line;
    run_until(link, other, [&] {
        size_t start = 0;
        for (size_t end; (end = link.received.find("\r\n", start)) != std::string::npos; start = end + 2) {
            if (end - start >= 4 && link.received[start + 3] == ' ') {
                line = link.received.substr(start, end - start);
                link.received.erase(0, end + 2);
                return true;
            }
        }
        return false;
    });
    return line;
}

struct ContextDeleter {
    void operator()(TlsContext* c) const { tls_destroy_context(c); }
};

class TlsVsftpdTest : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        context_.reset(tls_create_context());
        ASSERT_EQ(server_.start(test::FtpServerKind::kVsftpd, {.tls = true}), 0) << server_.error();
    }
    std::unique_ptr<ByteFilter> channel() {
        std::unique_ptr<ByteFilter> ch(tls_create_channel(test::tls_config(context_.get())));
        SSL_set_max_proto_version(tls_channel_ssl(*ch), GetParam());
        return ch;
    }
    // Logs in over TLS on a new control connection; false with a failure recorded otherwise.
    bool login(Link& control) {
        control.fd = connect_loopback(server_.port());
        if (control.fd < 0) return false;
        EXPECT_EQ(reply(control).substr(0, 3), "220");
        control.send_text("AUTH TLS\r\n");
        EXPECT_EQ(reply(control).substr(0, 3), "234");
        control.tls = channel();
        control.send_text("USER " + server_.user() + "\r\n");
        EXPECT_EQ(reply(control).substr(0, 3), "331");
        control.send_text("PASS " + server_.password() + "\r\n");
        EXPECT_EQ(reply(control).substr(0, 3), "230");
        control.send_text("PBSZ 0\r\n");
        EXPECT_EQ(reply(control).substr(0, 3), "200");
        control.send_text("PROT P\r\n");
        EXPECT_EQ(reply(control).substr(0, 3), "200");
        return !::testing::Test::HasFailure();
    }
    // Opens a passive data connection; -1 on failure.
    int passive(Link& control) {
        control.send_text("PASV\r\n");
        std::string r = reply(control);
        unsigned h1, h2, h3, h4, p1, p2;
        size_t open = r.find('(');
        if (r.substr(0, 3) != "227" || open == std::string::npos ||
            sscanf(r.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &h1, &h2, &h3, &h4, &p1, &p2) != 6)
            return -1;
        return connect_loopback(static_cast<int>(p1 * 256 + p2));
    }

    test::FtpServer server_;
    std::unique_ptr<TlsContext, ContextDeleter> context_;
};

struct LogLines {
    std::string text;
    static void sink(void* user, const char* line, int, int) {
        static_cast<LogLines*>(user)->text += std::string(line) + "\n";
    }
};

TEST_P(TlsVsftpdTest, ProtectedListingAndDownloadReuseTheControlSession) {
    std::string content(300000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 7919) >> 3);
    test::write_all(server_.local_home() + "/file.bin", content);

    Link control;
    ASSERT_TRUE(login(control));
    LogLines log;
    ASSERT_EQ(control.tls->describe(LogLines::sink, &log), 0);
    EXPECT_NE(log.text.find(GetParam() == TLS1_2_VERSION ? "TLSv1.2" : "TLSv1.3"), std::string::npos)
        << log.text;
    EXPECT_NE(log.text.find("Server certificate: CN = 127.0.0.1"), std::string::npos) << log.text;
    EXPECT_NE(log.text.find("SHA-256 fingerprint: "), std::string::npos) << log.text;

    for (const std::string command : {"LIST /pub", "RETR /pub/file.bin"}) {
        Link data;
        data.fd = passive(control);
        ASSERT_GE(data.fd, 0);
        data.tls = channel();
        ASSERT_EQ(data.tls->resume_from(*control.tls), 0);
        ASSERT_EQ(data.tls->start(), 0);
        data.flush();
        control.send_text(command + "\r\n");
        EXPECT_EQ(reply(control, &data).substr(0, 3), "150") << command;
        EXPECT_TRUE(run_until(data, &control, [&] { return data.closed; })) << command;
        EXPECT_EQ(reply(control).substr(0, 3), "226") << command;
        EXPECT_TRUE(tls_channel_session_reused(*data.tls)) << command;
        EXPECT_EQ(data.tls->error(), 0) << command;
        if (command[0] == 'L') {
            EXPECT_NE(data.received.find("file.bin"), std::string::npos) << data.received;
        } else {
            EXPECT_TRUE(data.received == content) << data.received.size() << " bytes";
        }
    }
}

TEST_P(TlsVsftpdTest, DataConnectionWithoutReuseIsRefused) {
    Link control;
    ASSERT_TRUE(login(control));
    Link data;
    data.fd = passive(control);
    ASSERT_GE(data.fd, 0);
    data.tls = channel();
    ASSERT_EQ(data.tls->start(), 0);
    data.flush();
    control.send_text("LIST /pub\r\n");
    std::string r = reply(control, &data);
    if (r.substr(0, 3) == "150") r = reply(control, &data);
    EXPECT_EQ(r.substr(0, 3), "522") << r;
}

INSTANTIATE_TEST_SUITE_P(Versions, TlsVsftpdTest, ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == TLS1_2_VERSION ? std::string("Tls12")
                                                                 : std::string("Tls13");
                         });

}  // namespace
}  // namespace orvane
