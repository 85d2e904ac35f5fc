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
    std::string own_file;   // read, and new hosts are appended; empty: no place to record them
};

// ~/.ssh/known_hosts, and ours: $ORVANE_KNOWN_HOSTS (a relative path is taken from the working
// folder), else $XDG_CONFIG_HOME/orvane/known_hosts, else ~/.config/orvane/known_hosts.
KnownHostsFiles default_known_hosts_files();

// The name a host is recorded under: "host" on port 22, else "[host]:port"; lower case.
std::string known_hosts_name(std::string_view host, uint16_t port);

// The known-hosts policy of one connect. The files are read before it, on the requester's
// thread; the key exchange asks check() (through decision()) on the connection's thread and reads
// nothing itself; a host seen for the first time is recorded after the connect, on the
// requester's thread again. A key that differs from a recorded one of its type, one marked
// @revoked, or a key of a type the host was never recorded with while others are, is refused,
// and the refusal names the host, the fingerprints and the file and line to edit. The accepted
// key's type and fingerprint are logged at info level on every connect.
//
// The check never fails open: when a file cannot be read, is too large, or there is no own file
// that new hosts can be written to, load() fails and check() refuses every key with that cause.
class KnownHostsPolicy {
  public:
    KnownHostsPolicy() = default;
    KnownHostsPolicy(const KnownHostsPolicy&) = delete;
    KnownHostsPolicy& operator=(const KnownHostsPolicy&) = delete;

    // Reads the files and makes sure the own file can take a new host (creating it, empty, and
    // its folders when missing). 0 when the check can be trusted; 1 with load_error() saying why.
    int load(const KnownHostsFiles& files, LogCallback log, void* log_user);
    const std::string& load_error() const { return load_error_; }
    // The policy as the key exchange asks it; valid while this object lives.
    HostKeyDecision decision();
    // 0 when the key is accepted (known, or the host is new: then held for record_new_host()).
    int check(std::string_view host, uint16_t port, std::string_view key_blob, std::string& refusal);
    // The key types recorded for the host, in file order, so the key exchange can ask for them.
    std::vector<std::string> recorded_types(std::string_view host, uint16_t port);
    // Records the new host check() accepted, if any, in the own file and reports it at warning
    // level. 1 when it could not be written (reported at error level, `cause` says why).
    int record_new_host(std::string* cause = nullptr);

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
    std::string load_error_ = "the known-hosts files were not read";
    LogCallback log_ = nullptr;
    void* log_user_ = nullptr;
    std::mutex lock_;  // check() runs on the connection's thread, the rest on the requester's
    std::vector<NewHost> new_hosts_;
};

// load(), check() and record_new_host() at once (one thread does it all).
int check_known_host(const KnownHostsFiles& files, std::string_view host, uint16_t port,
                     std::string_view key_blob, LogCallback log, void* log_user, std::string& error);

}  // namespace orvane::ssh
