// A real OpenSSH server for tests, in inetd mode ("sshd -i") over two pipes or listening on
// loopback, with a configuration and a throwaway host key written into a scratch folder.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace orvane::test {

class SshdInetd {
  public:
    // `extra_config` lines are appended to the configuration (Ciphers, KexAlgorithms, ...).
    explicit SshdInetd(const std::vector<std::string>& extra_config = {});
    ~SshdInetd();
    SshdInetd(const SshdInetd&) = delete;
    SshdInetd& operator=(const SshdInetd&) = delete;

    // False when no sshd is installed or it could not start (the reason in why()).
    bool running() const { return pid_ > 0; }
    const std::string& why() const { return why_; }

    // Writes all bytes to the server's standard input; false when it has gone.
    bool write(const std::string& bytes);
    // Bytes the server has written, waiting at most `wait_ms` for the first (a safety bound,
    // not a measurement). Empty at the end of its output.
    std::string read(int wait_ms = 5000);
    bool ended() const { return ended_; }
    // The server's log (LogLevel DEBUG1).
    std::string log() const;
    // The public half of its throwaway ed25519 host key, as ssh-keygen wrote it.
    std::string host_key_line() const;

  private:
    TempDir dir_;
    pid_t pid_ = -1;
    int to_server_ = -1;
    int from_server_ = -1;
    bool ended_ = false;
    std::string why_;
};

// A real OpenSSH server listening on a port of 127.0.0.1 ("sshd -D"), for tests through the
// network core. Stopped when destroyed.
class SshdDaemon {
  public:
    explicit SshdDaemon(const std::vector<std::string>& extra_config = {});
    ~SshdDaemon();
    SshdDaemon(const SshdDaemon&) = delete;
    SshdDaemon& operator=(const SshdDaemon&) = delete;

    // False when no sshd is installed or it did not start listening (the reason in why()).
    bool running() const { return pid_ > 0; }
    const std::string& why() const { return why_; }
    uint16_t port() const { return port_; }
    std::string log() const;
    // Kills the processes serving the connections made so far, as a crash of the server would: their
    // sockets close mid-conversation. The listener keeps running.
    void kill_sessions();

  private:
    TempDir dir_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string why_;
};

// What an SshdDaemon needs to serve SFTP logins to tests.
struct SftpSshdOptions {
    std::string authorized_keys;       // lines of OpenSSH's authorized_keys format
    bool passwords = false;            // password logins (for a TestAccount) as well
    bool designed_algorithms = false;  // only diffie-hellman-group14-sha1, aes128-ctr, hmac-sha1
};
// Configuration lines for SshdDaemon: the keys authorised through an AuthorizedKeysFile written to
// `dir`, the sftp subsystem in-process, and the chosen login methods and algorithms.
std::vector<std::string> sftp_sshd_config(const TempDir& dir, const SftpSshdOptions& options);

}  // namespace orvane::test
