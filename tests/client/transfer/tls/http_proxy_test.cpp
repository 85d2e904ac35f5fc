// The HTTP CONNECT exchange: the request and answer rules in memory, and tinyproxy on loopback,
// open and with Basic authentication, tunnelling to an echo server.
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/transfer/tls/http_proxy.h"
#include "common/log.h"
#include "tests/support/loopback.h"
#include "tests/support/proxy_server.h"

namespace orvane {
namespace {

std::string g_log;
void capture(void*, const char* text, int, int) {
    g_log += std::string(text) + "\n";
}

class HttpProxyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_log.clear();
        set_output_sink(capture, nullptr);
    }
    void TearDown() override { set_output_sink(nullptr, nullptr); }
};

TEST_F(HttpProxyTest, RequestCarriesCredentialsOnlyWhenGiven) {
    HttpConnect c;
    ProxySettings p;
    std::string out;
    ASSERT_EQ(c.request(p, "sftp.example", 22, out), 0);
    EXPECT_EQ(out, "CONNECT sftp.example:22 HTTP/1.0\r\nHost: sftp.example:22\r\n\r\n");
    p.user = "Aladdin";
    p.password = "open sesame";
    ASSERT_EQ(c.request(p, "h", 2222, out), 0);
    EXPECT_EQ(out,
              "CONNECT h:2222 HTTP/1.0\r\nHost: h:2222\r\nProxy-Authorization: Basic "
              "QWxhZGRpbjpvcGVuIHNlc2FtZQ==\r\n\r\n");
    p.type = 7;
    EXPECT_EQ(c.request(p, "h", 22, out), 1);
    EXPECT_NE(g_log.find("Proxy type is unknown"), std::string::npos);
    p.type = kProxyHttpConnect;
    EXPECT_EQ(c.request(p, "h\r\nX-Injected: 1", 22, out), 1);
}

TEST_F(HttpProxyTest, AnswersAreJudgedByStatusOnceTheEmptyLineArrives) {
    struct Case {
        std::vector<std::string> segments;
        int result;
        std::string rest;
    };
    const std::string big(20000, 'h');
    const Case cases[] = {
        {{"HTTP/1.0 200 Connection established\r\n\r\n"}, 0, ""},
        {{"HTTP/1.1 200 OK\r\nProxy-agent: x\r\n", "\r\nSSH-2.0-OpenSSH_9\r\n"}, 0, "SSH-2.0-OpenSSH_9\r\n"},
        {{"HTTP/1.0 2", "00 OK\n\n"}, 0, ""},
        {{"HTTP/1.0 407 Proxy Authentication Required\r\n\r\n"}, 1, ""},
        {{"HTTP/1.0 403 Forbidden\r\nX: y\r\n\r\n"}, 1, ""},
        {{"garbage\r\n\r\n"}, 1, ""},
        {{"HTTP/1.0 " + big}, 1, ""},                            // no line end within the status line's limit
        {{"HTTP/1.0 200 OK\r\n", "X: " + big + "\r\n"}, 1, ""},  // headers without end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.segments.front().substr(0, 40));
        HttpConnect h;
        std::string out;
        ASSERT_EQ(h.request(ProxySettings{}, "h", 22, out), 0);
        int r = HttpConnect::kPending;
        for (const std::string& s : c.segments) r = h.receive(s);
        EXPECT_EQ(r, c.result);
        if (r == 0) {
            EXPECT_EQ(h.take_rest(), c.rest);
        } else {
            EXPECT_NE(g_log.find("The proxy server rejected the request to connect"), std::string::npos);
        }
    }
}

// Through tinyproxy to an echo server: 0 when the tunnel carries bytes both ways.
int tunnel(int proxy_port, const ProxySettings& settings, uint16_t target_port) {
    int fd = test::connect_loopback(static_cast<uint16_t>(proxy_port));
    if (fd < 0) return 2;
    HttpConnect h;
    std::string out;
    h.request(settings, "127.0.0.1", target_port, out);
    test::send_all(fd, out);
    int r = HttpConnect::kPending;
    char buf[4096];
    while (r == HttpConnect::kPending) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        r = h.receive(std::string_view(buf, static_cast<size_t>(n)));
    }
    if (r == 0) {
        test::send_all(fd, "ping");
        std::string echoed = h.take_rest();
        while (echoed.size() < 4) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            echoed.append(buf, static_cast<size_t>(n));
        }
        if (echoed != "ping") r = 3;
    }
    test::close_fd(fd);
    return r;
}

TEST_F(HttpProxyTest, TinyproxyOpenAndWithBasicAuthentication) {
    test::EchoServer echo;
    test::ProxyServer open_proxy;
    if (open_proxy.start() != 0) GTEST_SKIP() << open_proxy.error();
    EXPECT_EQ(tunnel(open_proxy.port(), ProxySettings{}, echo.port()), 0) << g_log;

    test::ProxyServer guarded;
    ASSERT_EQ(guarded.start("orvane", "s3cret"), 0) << guarded.error();
    struct Case {
        const char* user;
        const char* password;
        int result;
        const char* status;  // tinyproxy's answer when refused
    };
    const Case cases[] = {{"", "", 1, " 407 "}, {"orvane", "wrong", 1, " 401 "}, {"orvane", "s3cret", 0, ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.password);
        g_log.clear();
        ProxySettings s;
        s.user = c.user;
        s.password = c.password;
        EXPECT_EQ(tunnel(guarded.port(), s, echo.port()), c.result) << g_log;
        EXPECT_NE(g_log.find(c.status), std::string::npos) << g_log;
    }
}

}  // namespace
}  // namespace orvane
