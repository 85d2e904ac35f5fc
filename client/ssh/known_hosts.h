// Known hosts: the server's host key is compared with the keys recorded for it, the way
// OpenSSH's "StrictHostKeyChecking accept-new" does. The user's ~/.ssh/known_hosts is read; our
// own file is read and receives hosts seen for the first time. Both use OpenSSH's format
// (plain names and patterns, "[host]:port", hashed "|1|salt|hash" names, @revoked markers).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "client/transfer/net/filter.h"

namespace orvane::ssh {

struct KnownHostsFiles {
    std::string user_file;  // read only; empty: none
    std::string own_file;   // read, and new hosts are appended; empty: nothing is recorded
};

// ~/.ssh/known_hosts, and ours: $ORVANE_KNOWN_HOSTS, else $XDG_CONFIG_HOME/orvane/known_hosts,
// else ~/.config/orvane/known_hosts.
KnownHostsFiles default_known_hosts_files();

// The name a host is recorded under: "host" on port 22, else "[host]:port"; lower case.
std::string known_hosts_name(std::string_view host, uint16_t port);

// Checks a host key (its blob) for host and port. A host seen for the first time is accepted,
// recorded in the own file and reported at warning level; the accepted key's type and
// fingerprint are logged at info level on every connect. A key
// that differs from a recorded one of its type, or one marked @revoked, is refused: 1, and
// `error` names the host, both fingerprints and the file and line to edit. 0 when accepted.
int check_known_host(const KnownHostsFiles& files, std::string_view host, uint16_t port,
                     std::string_view key_blob, LogCallback log, void* log_user, std::string& error);

}  // namespace orvane::ssh
