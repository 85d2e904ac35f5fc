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

namespace orvane::test {

namespace {
constexpr const char* kSshd = "/usr/sbin/sshd";
}

SshdInetd::SshdInetd(const std::vector<std::string>& extra_config) {
    if (access(kSshd, X_OK) != 0) {
        why_ = "no sshd installed";
        return;
    }
    // As root, sshd wants its privilege-separation folder (the package makes it at boot).
    if (geteuid() == 0) mkdir("/run/sshd", 0755);
    std::string key = dir_.file("host_ed25519");
    std::string command = "ssh-keygen -q -t ed25519 -N '' -f '" + key + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        why_ = "ssh-keygen failed";
        return;
    }
    std::string config = "HostKey " + key + "\nPidFile none\nUsePAM no\nStrictModes no\nLogLevel DEBUG1\n";
    for (const std::string& line : extra_config) config += line + "\n";
    write_all(dir_.file("sshd_config"), config);

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

}  // namespace orvane::test
