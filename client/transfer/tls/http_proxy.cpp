// HTTP CONNECT: the request, and the answer's status line and headers up to the empty line.
#include "client/transfer/tls/http_proxy.h"

#include <cctype>

#include "common/base64.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/secret.h"

namespace orvane {

namespace {

constexpr const char* kRejected = "The proxy server rejected the request to connect";

bool has_line_break(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

HttpConnect::~HttpConnect() {
    wipe_secret(answer_);
    wipe_secret(rest_);
}

int HttpConnect::request(const ProxySettings& proxy, const std::string& host, int port, std::string& out) {
    answer_.clear();
    rest_.clear();
    result_ = kPending;
    if (proxy.type != kProxyHttpConnect) {
        output("Proxy type is unknown", kLevelError);
        return 1;
    }
    if (has_line_break(host) || has_line_break(proxy.user) || has_line_break(proxy.password)) {
        output("ERROR: The proxy settings hold a line break", kLevelError);
        return 1;
    }
    std::string target = host + ":" + std::to_string(port);
    out = "CONNECT " + target + " HTTP/1.0\r\nHost: " + target + "\r\n";
    if (!proxy.user.empty() || !proxy.password.empty()) {
        std::string credentials = proxy.user + ":" + proxy.password;
        std::string encoded = base64_encode(credentials);
        out += "Proxy-Authorization: Basic " + encoded + "\r\n";
        wipe_secret(credentials);
        wipe_secret(encoded);
    }
    out += "\r\n";
    return 0;
}

int HttpConnect::receive(std::string_view bytes) {
    if (result_ != kPending) {
        rest_.append(bytes);
        return result_;
    }
    answer_.append(bytes);
    size_t line_end = answer_.find('\n');
    if (line_end == std::string::npos ? answer_.size() > kMaxStatusLine : line_end > kMaxStatusLine) {
        output(kRejected, kLevelError);
        output("ERROR: The proxy's status line is too long", kLevelError);
        return result_ = 1;
    }
    size_t end = answer_.find("\r\n\r\n");
    size_t end_len = 4;
    if (end == std::string::npos) {
        end = answer_.find("\n\n");
        end_len = 2;
    }
    if (end == std::string::npos) {
        if (answer_.size() > kMaxAnswer) {
            output(kRejected, kLevelError);
            output("ERROR: The proxy's answer has no end within 16384 bytes", kLevelError);
            return result_ = 1;
        }
        return kPending;
    }
    std::string status = answer_.substr(0, line_end);
    if (!status.empty() && status.back() == '\r') status.pop_back();
    output(escape_controls(status), kLevelResponse);
    size_t space = status.find(' ');
    // Any 2xx opens the tunnel (proxies answer 200, some with another success code).
    bool ok = space != std::string::npos && status.size() >= space + 4 && status[space + 1] == '2' &&
              std::isdigit(static_cast<unsigned char>(status[space + 2])) &&
              std::isdigit(static_cast<unsigned char>(status[space + 3]));
    rest_ = answer_.substr(end + end_len);
    wipe_secret(answer_);
    answer_.clear();
    if (!ok) {
        output(kRejected, kLevelError);
        return result_ = 1;
    }
    return result_ = 0;
}

std::string HttpConnect::take_rest() {
    std::string out;
    out.swap(rest_);
    return out;
}

}  // namespace orvane
