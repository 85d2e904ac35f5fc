// sshd in inetd mode over pipes, and as a daemon on a loopback port.
#include "tests/support/sshd_server.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

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

// Every process's parent, from /proc.
std::multimap<pid_t, pid_t> children_by_parent() {
    std::multimap<pid_t, pid_t> children;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return children;
    while (const dirent* entry = readdir(proc)) {
        pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t end = text.rfind(')');  // the command name in parentheses may hold blanks
        if (end == std::string::npos) continue;
        std::istringstream rest(text.substr(end + 1));
        char state = 0;
        pid_t parent = 0;
        if (rest >> state >> parent) children.emplace(parent, pid);
    }
    closedir(proc);
    return children;
}

}  // namespace

std::vector<std::string> sftp_sshd_config(const TempDir& dir, const SftpSshdOptions& options) {
    write_all(dir.file("authorized_keys"), options.authorized_keys);
    std::vector<std::string> lines = {
        "AuthorizedKeysFile " + dir.file("authorized_keys"), "Subsystem sftp internal-sftp",
        "KbdInteractiveAuthentication no",
        std::string("PasswordAuthentication ") + (options.passwords ? "yes" : "no")};
    if (options.designed_algorithms)
        lines.insert(lines.end(),
                     {"KexAlgorithms diffie-hellman-group14-sha1", "Ciphers aes128-ctr", "MACs hmac-sha1"});
    return lines;
}

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

std::string SshdInetd::host_key_line() const {
    return read_all(dir_.file("host_ed25519.pub"));
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

void SshdDaemon::kill_sessions() {
    if (pid_ <= 0) return;
    // Each connection is served by a child of the listener and that child's own children.
    std::multimap<pid_t, pid_t> children = children_by_parent();
    std::vector<pid_t> found, todo = {pid_};
    while (!todo.empty()) {
        pid_t parent = todo.back();
        todo.pop_back();
        auto [first, last] = children.equal_range(parent);
        for (auto it = first; it != last; ++it) {
            found.push_back(it->second);
            todo.push_back(it->second);
        }
    }
    for (pid_t pid : found) kill(pid, SIGKILL);
}

SshdDaemon::~SshdDaemon() {
    kill_sessions();
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

std::string SshdDaemon::log() const {
    return read_all(dir_.file("sshd.log"));
}

}  // namespace orvane::test
