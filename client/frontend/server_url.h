// Server addresses written as URLs (ftp://, ftps://, sftp://) and the ~/.netrc file that supplies
// their logins.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvane {

struct ServerUrl {
    int protocol = 0;           // a ProtocolKind
    bool implicit_tls = false;  // ftps://: TLS from the first byte
    std::string host;           // without brackets for an IPv6 literal
    uint32_t port = 0;          // the scheme's default when the URL names none
    bool have_user = false;
    bool have_password = false;
    std::string user;      // percent-decoded
    std::string password;  // percent-decoded; the caller wipes it
    // The folder to change to after the login: absolute, or relative to the login folder for a
    // URL path that begins "/~/"; empty when the URL names none.
    std::string folder;
};

// True when the text is written as a URL ("scheme://...").
bool looks_like_url(std::string_view text);
// Parses an ftp://, ftps:// or sftp:// URL: [user[:password]@]host[:port][/path]. 0 on success;
// 1 with `cause` set for an unknown scheme, a bad percent escape, an empty host, a bad port, or
// a user, password or path holding a control character (it would reach the server as a second
// command) or longer than the client sends.
int parse_server_url(std::string_view text, ServerUrl& url, std::string& cause);
// The text with the password of every URL in it left out ("ftp://alice:pw@host" becomes
// "ftp://alice@host"), for a history that must not keep it.
std::string without_url_passwords(std::string_view text);
// Percent-decoding ("%41" is "A"); false for a "%" not followed by two hex digits.
bool percent_decode(std::string_view text, std::string& out);

struct NetrcEntry {
    bool found = false;
    std::string login;
    std::string password;  // the caller wipes it
};

// Looks `host` up in netrc text as curl and lftp read it: "machine NAME" entries with "login",
// "password" (and "account", "macdef", which are skipped), "default" for any other host, "#"
// comments, double-quoted words with backslash escapes. With a `login` only an entry of that
// login counts. The first matching entry wins.
NetrcEntry netrc_lookup(std::string_view text, std::string_view host, std::string_view login);

enum class NetrcStatus { kFound, kNotFound, kRefused };
// Reads the netrc file at `path` and looks `host` up. A file that group or others may read or
// write, that is not a regular file or that is larger than 1 MiB is refused with the reason in
// `cause` (a missing file is kNotFound).
NetrcStatus read_netrc(const std::string& path, std::string_view host, std::string_view login,
                       NetrcEntry& entry, std::string& cause);

}  // namespace orvane
