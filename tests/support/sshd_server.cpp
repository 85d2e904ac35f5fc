// sshd in inetd mode over pipes.
#include "tests/support/sshd_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "tests/support/loopback.h"

namespace orvane::test {

namespace {

constexpr const char* kSshd = "/usr/sbin/sshd";

// Writes the configuration and a throwaway host key into `dir`. False with the reason.
bool prepare(const TempDir& dir, const std::vector<std::string>& extra_config, std::string& why) {
    if (access(kSshd, X_OK) != 0) {
        why = "no sshd installed";
        return false;
    }
    // As root, sshd wants its privilege-separation folder (the package makes it at boot).
    if (geteuid() == 0) mkdir("/run/sshd", 0755);
    std::string key = dir.file("host_ed25519");
    std::string command = "ssh-keygen -q -t ed25519 -N '' -f '" + key + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        why = "ssh-keygen failed";
        return false;
    }
    std::string config = "HostKey " + key + "\nPidFile none\nUsePAM no\nStrictModes no\nLogLevel DEBUG1\n";
    for (const std::string& line : extra_config) config += line + "\n";
    write_all(dir.file("sshd_config"), config);
    return true;
}

}  // namespace

SshdInetd::SshdInetd(const std::vector<std::string>& extra_config) {
    if (!prepare(dir_, extra_config, why_)) return;

    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
        why_ = "no pipes";
        return;
    }
    std::string config_path = dir_.file("sshd_config"), log_path = dir_.file("sshd.log");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        execl(kSshd, kSshd, "-i", "-f", config_path.c_str(), "-E", log_path.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_server_ = in[1];
    from_server_ = out[0];
    signal(SIGPIPE, SIG_IGN);
    if (pid < 0) {
        why_ = "fork failed";
        return;
    }
    pid_ = pid;
}

SshdInetd::~SshdInetd() {
    if (to_server_ >= 0) close(to_server_);
    if (from_server_ >= 0) close(from_server_);
    if (pid_ > 0) {
        // Closed pipes end it; a server that lingers is stopped.
        for (int i = 0; i < 50; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            usleep(20000);
        }
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

bool SshdInetd::write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(to_server_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string SshdInetd::read(int wait_ms) {
    if (ended_ || from_server_ < 0) return {};
    pollfd p{from_server_, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) return {};
    char buffer[65536];
    ssize_t n = ::read(from_server_, buffer, sizeof buffer);
    if (n <= 0) {
        ended_ = true;
        return {};
    }
    return std::string(buffer, static_cast<size_t>(n));
}

std::string SshdInetd::log() const {
    return read_all(dir_.file("sshd.log"));
}

SshdDaemon::SshdDaemon(const std::vector<std::string>& extra_config) {
    if (!prepare(dir_, extra_config, why_)) return;
    port_ = unused_port();
    std::string config_path = dir_.file("sshd_config"), log_path = dir_.file("sshd.log");
    std::string port = std::to_string(port_);
    pid_t pid = fork();
    if (pid == 0) {
        execl(kSshd, kSshd, "-D", "-f", config_path.c_str(), "-E", log_path.c_str(), "-p", port.c_str(), "-o",
              "ListenAddress=127.0.0.1", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        why_ = "fork failed";
        return;
    }
    pid_ = pid;
    // Wait until it listens (a start-up bound, not a measurement).
    for (int i = 0; i < 250; ++i) {
        int fd = connect_loopback(port_);
        if (fd >= 0) {
            close_fd(fd);
            return;
        }
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
        usleep(20000);
    }
    why_ = "sshd did not start listening: " + log();
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

SshdDaemon::~SshdDaemon() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

std::string SshdDaemon::log() const {
    return read_all(dir_.file("sshd.log"));
}

}  // namespace orvane::test
