// URLs and netrc text as a user or another program may write them: a URL that parses never
// carries a control character or an over-long part to the server, a history entry keeps no URL
// password, and netrc lookups stay inside the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/frontend/server_url.h"
#include "common/limits.h"

namespace {

bool has_control(std::string_view s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    orvane::ServerUrl url;
    std::string cause;
    if (orvane::parse_server_url(text, url, cause) == 0) {
        if (url.host.empty() || has_control(url.host) || url.port == 0 || url.port > 65535) std::abort();
        if (has_control(url.user) || has_control(url.password) || has_control(url.folder)) std::abort();
        if (url.user.size() > orvane::kCredentialCapacity ||
            url.password.size() > orvane::kCredentialCapacity)
            std::abort();
        if (url.folder.size() > orvane::kPathCapacity) std::abort();
    } else if (cause.empty()) {
        std::abort();
    }
    std::string once = orvane::without_url_passwords(text);
    if (orvane::without_url_passwords(once) != once) std::abort();
    // The first line names the host and login to look up; the rest is the netrc text.
    size_t line_end = text.find('\n');
    std::string_view key = text.substr(0, line_end == std::string_view::npos ? text.size() : line_end);
    std::string_view body =
        line_end == std::string_view::npos ? std::string_view() : text.substr(line_end + 1);
    size_t blank = key.find(' ');
    std::string_view host = key.substr(0, blank);
    std::string_view login = blank == std::string_view::npos ? std::string_view() : key.substr(blank + 1);
    orvane::NetrcEntry entry = orvane::netrc_lookup(body, host, login);
    if (entry.found && !login.empty() && entry.login != login) std::abort();
    if (entry.password.size() > body.size() || entry.login.size() > body.size()) std::abort();
    return 0;
}
