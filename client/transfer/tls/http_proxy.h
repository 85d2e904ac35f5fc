// The HTTP CONNECT proxy through which SFTP connections may reach their server: the request with
// optional Basic authorisation, and the proxy's answer read with a bound. A byte-stream engine:
// the connect step sends request() and feeds the proxy's bytes to receive().
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "client/transfer/session/session.h"

namespace orvane {

struct ProxySettings {
    bool enabled = false;
    int type = kProxyHttpConnect;
    std::string host;
    int port = 80;
    std::string user;
    std::string password;
};

class HttpConnect {
  public:
    static constexpr int kPending = 2;
    static constexpr size_t kMaxStatusLine = 780;
    static constexpr size_t kMaxAnswer = 16384;  // status line and headers together

    ~HttpConnect();

    // The CONNECT request for host:port in `out`. 0, or 1 after a message (an unknown proxy type,
    // a line break in a setting that would reach the request).
    int request(const ProxySettings& proxy, const std::string& host, int port, std::string& out);
    // Feeds the proxy's bytes: kPending until the answer's empty line arrives; then 0 when it
    // opened the tunnel (a 2xx status) or 1 after a message.
    int receive(std::string_view bytes);
    // Bytes that followed the answer: the tunnelled server's first bytes.
    std::string take_rest();

  private:
    std::string answer_;
    std::string rest_;
    int result_ = kPending;
};

}  // namespace orvane
