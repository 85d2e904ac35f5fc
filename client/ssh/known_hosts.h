// Known hosts: the server's host key is compared with the keys recorded for it, the way
// OpenSSH's "StrictHostKeyChecking accept-new" does. The user's ~/.ssh/known_hosts is read; our
// own file is read and receives hosts seen for the first time. Both use OpenSSH's format
// (plain names and patterns, "[host]:port", hashed "|1|salt|hash" names, @revoked markers).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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

// The known-hosts policy of one connect. The files are read before it, on the requester's
// thread; the key exchange asks check() (through decision()) on the connection's thread and reads
// nothing itself; a host seen for the first time is recorded after the connect, on the
// requester's thread again. A key that differs from a recorded one of its type, or one marked
// @revoked, is refused, and the refusal names the host, both fingerprints and the file and line
// to edit. The accepted key's type and fingerprint are logged at info level on every connect.
class KnownHostsPolicy {
  public:
    KnownHostsPolicy() = default;
    KnownHostsPolicy(const KnownHostsPolicy&) = delete;
    KnownHostsPolicy& operator=(const KnownHostsPolicy&) = delete;

    // Reads the files; one that cannot be read is reported at warning level and counts as empty.
    void load(const KnownHostsFiles& files, LogCallback log, void* log_user);
    // The policy as the key exchange asks it; valid while this object lives.
    HostKeyDecision decision();
    // 0 when the key is accepted (known, or the host is new: then held for record_new_host()).
    int check(std::string_view host, uint16_t port, std::string_view key_blob, std::string& refusal);
    // Records the new host check() accepted, if any, in the own file and reports it at warning level.
    void record_new_host();

  private:
    struct NewHost {
        std::string name;
        std::string type;
        std::string blob;
        std::string fingerprint;
    };

    KnownHostsFiles files_;
    std::string user_text_;
    std::string own_text_;
    LogCallback log_ = nullptr;
    void* log_user_ = nullptr;
    std::mutex lock_;  // check() runs on the connection's thread, the rest on the requester's
    std::vector<NewHost> new_hosts_;
};

// load(), check() and record_new_host() at once (one thread does it all).
int check_known_host(const KnownHostsFiles& files, std::string_view host, uint16_t port,
                     std::string_view key_blob, LogCallback log, void* log_user, std::string& error);

}  // namespace orvane::ssh
