// URL and netrc parsing for open: both texts come from users and files we do not control, so every
// part is checked before it can reach a server.
#include "client/frontend/server_url.h"

#include <vector>

#include "client/frontend/command_line.h"
#include "client/transfer/session/protocol_kind.h"
#include "common/limits.h"
#include "common/secret.h"
#include "common/text.h"
#include "platform/file.h"

namespace orvane {

namespace {

struct Scheme {
    const char* name;
    int protocol;
    bool implicit_tls;
    uint32_t default_port;
};

constexpr Scheme kSchemes[] = {
    {"ftp", kProtocolFtp, false, 21},
    {"ftps", kProtocolFtpsProtected, true, 990},
    {"sftp", kProtocolSftp, false, 22},
};

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool has_control(std::string_view s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

int fail(std::string& cause, std::string text) {
    cause = std::move(text);
    return 1;
}

// A decoded part that goes to the server as it is: no control character, within its capacity.
int decode_part(std::string_view raw, const char* what, size_t capacity, std::string& out,
                std::string& cause) {
    if (!percent_decode(raw, out)) return fail(cause, format("a bad percent escape in the %s", what));
    if (has_control(out)) return fail(cause, format("the %s holds a control character", what));
    if (out.size() > capacity)
        return fail(cause, format("the %s is longer than %zu characters", what, capacity));
    return 0;
}

}  // namespace

bool looks_like_url(std::string_view text) {
    size_t colon = text.find("://");
    if (colon == std::string_view::npos || colon == 0) return false;
    for (char c : text.substr(0, colon))
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
    return true;
}

bool percent_decode(std::string_view text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        int high = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

std::string without_url_passwords(std::string_view text) {
    std::string out;
    size_t pos = 0;
    for (size_t mark; (mark = text.find("://", pos)) != std::string_view::npos;) {
        size_t start = mark + 3;
        size_t end = text.find_first_of(" /\"", start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view authority = text.substr(start, end - start);
        size_t at = authority.rfind('@');
        size_t colon = authority.find(':');
        out.append(text.substr(pos, start - pos));
        if (at != std::string_view::npos && colon < at) {
            out.append(authority.substr(0, colon));
            out.append(authority.substr(at));
        } else {
            out.append(authority);
        }
        pos = end;
    }
    out.append(text.substr(pos));
    return out;
}

int parse_server_url(std::string_view text, ServerUrl& url, std::string& cause) {
    url = ServerUrl{};
    if (!looks_like_url(text)) return fail(cause, "not a URL (scheme://host)");
    size_t mark = text.find("://");
    std::string_view scheme_name = text.substr(0, mark), rest = text.substr(mark + 3);
    const Scheme* scheme = nullptr;
    for (const Scheme& s : kSchemes)
        if (iequals(scheme_name, s.name)) scheme = &s;
    if (!scheme) return fail(cause, "an unknown scheme (ftp://, ftps:// or sftp://)");
    url.protocol = scheme->protocol;
    url.implicit_tls = scheme->implicit_tls;
    url.port = scheme->default_port;

    size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    std::string_view path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    // A password may hold an unescaped "@": the last one ends the user part.
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        std::string_view userinfo = authority.substr(0, at);
        authority = authority.substr(at + 1);
        size_t colon = userinfo.find(':');
        if (decode_part(userinfo.substr(0, colon), "user name", kCredentialCapacity, url.user, cause) != 0)
            return 1;
        url.have_user = !url.user.empty();
        if (colon != std::string_view::npos) {
            if (decode_part(userinfo.substr(colon + 1), "password", kCredentialCapacity, url.password,
                            cause) != 0) {
                wipe_secret(url.password);
                return 1;
            }
            url.have_password = true;
        }
    }
    std::string host, port_text;
    if (!split_host_port(std::string(authority), host, port_text) || host.empty())
        return fail(cause, "no host, or a bad one");
    for (unsigned char c : host)
        if (c <= 0x20 || c == 0x7f || c == '%')
            return fail(cause, "the host holds a character no host name has");
    if (host.size() > kCredentialCapacity)
        return fail(cause, format("the host is longer than %zu characters", kCredentialCapacity));
    if (!port_text.empty() && !parse_port(port_text, url.port)) return fail(cause, "a bad port (1 to 65535)");
    url.host = host;

    std::string folder;
    if (decode_part(path, "path", kPathCapacity, folder, cause) != 0) return 1;
    // "/~/x" is x in the login folder, as curl reads it; any other path is absolute.
    if (folder == "/~" || folder.rfind("/~/", 0) == 0) folder = folder.substr(folder.size() > 2 ? 3 : 2);
    if (folder == "/") folder.clear();
    url.folder = folder;
    return 0;
}

namespace {

// Netrc words: blanks and line ends separate, "#" starts a comment, double quotes group with
// backslash escapes. A macdef body runs to the next empty line and is skipped whole.
class NetrcWords {
  public:
    explicit NetrcWords(std::string_view text) : text_(text) {}

    bool next(std::string& word) {
        word.clear();
        for (;;) {
            while (pos_ < text_.size() && is_blank(text_[pos_])) ++pos_;
            if (pos_ >= text_.size()) return false;
            if (text_[pos_] != '#') break;
            while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
        }
        if (text_[pos_] == '"') {
            for (++pos_; pos_ < text_.size() && text_[pos_] != '"'; ++pos_) {
                if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) ++pos_;
                word += text_[pos_];
            }
            if (pos_ < text_.size()) ++pos_;
            return true;
        }
        while (pos_ < text_.size() && !is_blank(text_[pos_])) word += text_[pos_++];
        return true;
    }

    void skip_macro_body() {
        size_t line_end = text_.find('\n', pos_);  // the body starts on the line after the name
        pos_ = line_end == std::string_view::npos ? text_.size() : line_end + 1;
        while (pos_ < text_.size()) {
            size_t end = text_.find('\n', pos_);
            if (end == std::string_view::npos) end = text_.size();
            std::string_view line = text_.substr(pos_, end - pos_);
            pos_ = end + 1;
            if (line.empty() || line == "\r") return;
        }
    }

  private:
    static bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    std::string_view text_;
    size_t pos_ = 0;
};

}  // namespace

NetrcEntry netrc_lookup(std::string_view text, std::string_view host, std::string_view login) {
    NetrcEntry best;
    NetrcWords words(text);
    std::string word, value;
    bool in_entry = false, matches = false;
    NetrcEntry current;
    auto close_entry = [&] {
        bool usable = in_entry && matches && (login.empty() || current.login == login);
        if (usable && !best.found) {
            best = std::move(current);
            best.found = true;
        } else {
            wipe_secret(current.password);
        }
        current = NetrcEntry{};
        in_entry = false;
    };
    while (words.next(word)) {
        if (word == "machine" || word == "default") {
            close_entry();
            if (best.found) break;
            in_entry = true;
            matches = word == "default";
            if (word == "machine") matches = words.next(value) && iequals(value, host);
        } else if (word == "login" || word == "password" || word == "account") {
            if (!words.next(value)) break;
            if (word == "login") current.login = value;
            if (word == "password") current.password = value;
            wipe_secret(value);
        } else if (word == "macdef") {
            words.next(value);
            words.skip_macro_body();
        }
    }
    close_entry();
    wipe_secret(value);
    return best;
}

NetrcStatus read_netrc(const std::string& path, std::string_view host, std::string_view login,
                       NetrcEntry& entry, std::string& cause) {
    constexpr int64_t kMaxNetrcSize = 1 << 20;
    entry = NetrcEntry{};
    if (!platform::path_exists(path)) return NetrcStatus::kNotFound;
    platform::FileHandle h = platform::file_open(path, platform::kOpenRead | platform::kOpenRegularOnly);
    if (h == platform::kInvalidFile) {
        cause = format("%s cannot be read", path.c_str());
        return NetrcStatus::kRefused;
    }
    int mode = platform::file_permissions(h);
    int64_t size = platform::file_size(h);
    NetrcStatus status = NetrcStatus::kRefused;
    if (mode < 0 || (mode & 077) != 0) {
        // Passwords in a file others can read are no longer secret; ftp(1) refuses it as well.
        cause = format("%s may be read or changed by others (mode %04o): it is not used; chmod 600 it",
                       path.c_str(), mode < 0 ? 0 : mode);
    } else if (size < 0 || size > kMaxNetrcSize) {
        cause = format("%s is larger than 1 MiB: it is not used", path.c_str());
    } else {
        std::string text(static_cast<size_t>(size), '\0');
        int64_t n = platform::file_read(h, text.data(), text.size());
        if (n < 0) {
            cause = format("%s cannot be read", path.c_str());
        } else {
            text.resize(static_cast<size_t>(n));
            entry = netrc_lookup(text, host, login);
            status = entry.found ? NetrcStatus::kFound : NetrcStatus::kNotFound;
        }
        wipe_secret(text);
    }
    platform::file_close(h);
    return status;
}

}  // namespace orvane
