// Known TLS servers: the public key each host:port presented first, one line each,
// "host:port sha256/BASE64 first-seen-date", so a later change of key can be noticed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane {

// The file is read whole; a larger one is refused rather than trusted in part.
constexpr int64_t kKnownCertsFileLimit = 16 << 20;

// Where first-used keys are recorded: $ORVANE_KNOWN_CERTS (as given, so a relative path is taken
// from the working folder), else $XDG_CONFIG_HOME/orvane/known_certs, else
// $HOME/.config/orvane/known_certs. Empty when none of the three is set.
std::string default_known_certs_file();

// The name a server is recorded under: its host in lower case, ":" and the port.
std::string known_certs_name(std::string_view host, uint16_t port);

struct KnownCert {
    std::string key;  // "sha256/BASE64"
    size_t line = 0;  // 1-based line of the file
};

// The first entry recorded for `name` in the file's text: true when there is one.
bool find_known_cert(std::string_view text, std::string_view name, KnownCert& found);

// Reads the file: 0 with its text (empty when it does not exist yet); 1 when it cannot be read or
// is larger than the limit, the cause in `error`.
int read_known_certs(const std::string& path, std::string& text, std::string& error);

enum class RecordOutcome { kRecorded, kAlreadyKnown, kFailed };

// Records `key` for `name` with today's date, holding the file's lock (FILE.lock) so that
// processes take turns: the file is read again under the lock, and when another process recorded
// the name meanwhile, that entry is returned in `existing` instead. The file is replaced through a
// temporary file in its folder (made if missing), or appended to in place when it is a symbolic
// link. `text` receives the file's new content.
RecordOutcome record_known_cert(const std::string& path, std::string_view name, std::string_view key,
                                KnownCert& existing, std::string& text, std::string& error);

}  // namespace orvane
