// Test FTP servers: config files, process groups, port waits, and the scripted one-connection server.
#include "tests/support/ftp_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace orvane::test {
namespace {

// A listening socket on 127.0.0.1 (port 0: any); its port goes to `port`. -1 on failure.
int listen_on(int& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopback_address(static_cast<uint16_t>(port));
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

bool port_bindable(int port) {
    int fd = listen_on(port);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// `count` consecutive free ports for passive data connections; the first one, or 0.
int free_port_range(int count) {
    static std::mt19937 pick(std::random_device{}());
    for (int attempt = 0; attempt < 50; ++attempt) {
        int base = 40000 + static_cast<int>(pick() % 20000);
        bool ok = true;
        for (int p = base; ok && p < base + count; ++p) ok = port_bindable(p);
        if (ok) return base;
    }
    return 0;
}

std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char c = s[++i];
            out.push_back(c == 'r' ? '\r' : c == 'n' ? '\n' : c);
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// Waits until the peer closes the socket (or `ms` milliseconds pass), dropping what it sends.
void wait_for_close(int fd, int ms) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return;
        char buf[4096];
        if (recv(fd, buf, sizeof buf, 0) <= 0) return;
    }
}

// Accepts one connection within `ms` milliseconds; -1 on timeout.
int accept_within(int listen_fd, int ms) {
    pollfd p{listen_fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return -1;
    return accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

}  // namespace

int free_loopback_port() {
    int port = 0;
    int fd = listen_on(port);
    if (fd < 0) return 0;
    close(fd);
    return port;
}

bool wait_for_port(int port, pid_t pid, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) return false;
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback_address(static_cast<uint16_t>(port));
        bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (fd >= 0) close(fd);
        if (ok) return true;
        usleep(50 * 1000);
    }
    return false;
}

int make_self_signed_certificate(const std::string& folder) {
    ProcessResult r = run_process(
        "/usr/bin/openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", folder + "/key.pem",
                             "-out", folder + "/cert.pem", "-days", "2", "-subj", "/CN=127.0.0.1"});
    return r.exit_code == 0 ? 0 : 1;
}

FtpServer::~FtpServer() {
    stop();
}

void FtpServer::stop() {
    stop_launched(pid_);
}

std::string FtpServer::url(const std::string& path) const {
    return std::string(implicit_tls_ ? "ftps://" : "ftp://") + user_ + ":" + password_ +
           "@127.0.0.1:" + std::to_string(port_) + path;
}

std::string FtpServer::log() const {
    return read_all(dir_.path() + "/server.log");
}

int FtpServer::launch(const std::vector<std::string>& args) {
    std::string log_path = dir_.path() + "/server.log";
    pid_t pid = launch_logged(args, log_path);
    if (pid < 0) {
        error_ = "fork failed";
        return 1;
    }
    pid_ = pid;
    if (!wait_for_port(port_, pid_)) {
        error_ = "server did not answer on port " + std::to_string(port_) + ": " + log();
        stop();
        return 1;
    }
    return 0;
}

int FtpServer::start(FtpServerKind kind, const FtpServerOptions& options) {
    stop();
    error_.clear();
    std::filesystem::create_directories(local_home());
    chmod(dir_.path().c_str(), 0755);
    chmod((dir_.path() + "/root").c_str(), 0755);
    chmod(local_home().c_str(), 0777);
    implicit_tls_ = options.implicit_tls;
    bool own_certificate = !options.certificate_file.empty();
    if ((options.tls || options.implicit_tls) && !own_certificate &&
        make_self_signed_certificate(dir_.path()) != 0) {
        error_ = "openssl could not make a certificate";
        return 1;
    }
    // Another process may take the port between our probe and the server's bind: try a few.
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = options.port != 0 ? options.port : free_loopback_port();
        int r = kind == FtpServerKind::kVsftpd ? start_vsftpd(options) : start_pyftpdlib(options);
        if (r == 0) return 0;
    }
    return 1;
}

// vsftpd refuses to let root log in and wants a session user it can switch to, so the test
// user is "anonymous": vsftpd chroots to a root-owned folder and drops to the "ftp" account,
// which may write in the world-writable "pub" below it. Namespaces and the seccomp sandbox are
// off because containers often forbid them.
int FtpServer::start_vsftpd(const FtpServerOptions& options) {
    user_ = "anonymous";
    password_ = "orvane-test";
    int pasv = free_port_range(16);
    std::string d = dir_.path();
    std::filesystem::create_directories(d + "/empty");
    std::string conf =
        "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" + std::to_string(port_) +
        "\nbackground=NO\n"
        "anonymous_enable=YES\nlocal_enable=NO\nanon_root=" +
        d + "/root\n" + "no_anon_password=" + (options.password_required ? "NO" : "YES") +
        "\n"
        "write_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\nanon_other_write_enable=YES\n"
        "anon_umask=022\nmdtm_write=YES\n"
        "pasv_enable=YES\npasv_min_port=" +
        std::to_string(pasv) + "\npasv_max_port=" + std::to_string(pasv ? pasv + 15 : 0) +
        "\n"
        "port_enable=YES\nconnect_from_port_20=NO\n"
        "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
        "xferlog_enable=NO\nsyslog_enable=NO\nvsftpd_log_file=" +
        d + "/vsftpd.log\nsecure_chroot_dir=" + d + "/empty\n";
    if (options.max_per_ip > 0) conf += "max_per_ip=" + std::to_string(options.max_per_ip) + "\n";
    if (options.tls || options.implicit_tls) {
        conf += "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\nforce_anon_data_ssl=" +
                std::string(options.clear_data_allowed ? "NO" : "YES") +
                "\n"
                "require_ssl_reuse=YES\nssl_ciphers=HIGH\nrsa_cert_file=" +
                (options.certificate_file.empty() ? d + "/cert.pem" : options.certificate_file) +
                "\nrsa_private_key_file=" + (options.key_file.empty() ? d + "/key.pem" : options.key_file) +
                "\n";
        if (options.implicit_tls) conf += "implicit_ssl=YES\n";
        if (!options.client_ca_file.empty())
            conf += "require_cert=YES\nvalidate_cert=YES\nca_certs_file=" + options.client_ca_file + "\n";
    }
    write_all(d + "/vsftpd.conf", conf);
    return launch({"/usr/sbin/vsftpd", d + "/vsftpd.conf"});
}

int FtpServer::start_pyftpdlib(const FtpServerOptions& options) {
    user_ = "orvane";
    password_ = "orvane-secret";
    if (options.implicit_tls) {
        error_ = "pyftpdlib has no implicit TLS";
        return 1;
    }
    std::vector<std::string> args = {"/usr/bin/python3",
                                     std::string(ORVANE_SOURCE_DIR) + "/tests/support/pyftpd_server.py",
                                     std::to_string(port_),
                                     dir_.path() + "/root",
                                     user_,
                                     password_};
    if (options.tls) {
        args.push_back(dir_.path() + "/cert.pem");
        args.push_back(dir_.path() + "/key.pem");
        if (options.tolerate_early_data_handshake) args.push_back("tolerate-early-data-handshake");
        if (options.clear_data_allowed) args.push_back("clear-data-allowed");
        if (options.corrupt_downloads) args.push_back("corrupt-downloads");
    }
    if (options.stall_first_download_at > 0)
        args.push_back("stall-first-download-at=" + std::to_string(options.stall_first_download_at));
    return launch(args);
}

ScriptedFtpServer::~ScriptedFtpServer() {
    // Wake the thread out of any wait: shut down every socket it may be blocked on.
    if (listen_fd_ >= 0) shutdown(listen_fd_, SHUT_RDWR);
    if (data_fd_ >= 0) shutdown(data_fd_, SHUT_RDWR);
    int fd = conn_fd_.load();
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) close(listen_fd_);
    if (data_fd_ >= 0) close(data_fd_);
}

int ScriptedFtpServer::start(const std::string& script) {
    size_t start = 0;
    while (start < script.size()) {
        size_t end = script.find('\n', start);
        if (end == std::string::npos) end = script.size();
        std::string line = script.substr(start, end - start);
        if (!line.empty()) steps_.push_back(line);
        start = end + 1;
    }
    listen_fd_ = listen_on(port_);
    if (script.find("{DATA}") != std::string::npos || script.find("data-") != std::string::npos)
        data_fd_ = listen_on(data_port_);
    if (listen_fd_ < 0 || (data_port_ == 0 && data_fd_ >= 0)) return 1;
    thread_ = std::thread([this] { run(); });
    return 0;
}

// "MS TEXT": the text one byte every MS milliseconds; false once the client has gone.
bool ScriptedFtpServer::trickle(int fd, const std::string& spec) {
    char* rest = nullptr;
    long ms = strtol(spec.c_str(), &rest, 10);
    std::string text = unescape(*rest == ' ' ? std::string(rest + 1) : std::string(rest));
    for (char ch : text) {
        if (!send_all(fd, std::string(1, ch))) return false;
        usleep(static_cast<useconds_t>(ms) * 1000);
    }
    return true;
}

void ScriptedFtpServer::fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_.empty()) failure_ = why;
}

void ScriptedFtpServer::run() {
    int fd = accept_within(listen_fd_, 10000);
    conn_fd_ = fd;
    if (fd < 0) {
        fail("no client connected");
        done_ = true;
        return;
    }
    std::string pending;  // received bytes not yet split into command lines
    auto next_command = [&](std::string& line) {
        for (;;) {
            size_t lf = pending.find('\n');
            if (lf != std::string::npos) {
                line = pending.substr(0, lf);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                pending.erase(0, lf + 1);
                return true;
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) return false;
            char buf[4096];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return false;
            pending.append(buf, static_cast<size_t>(n));
        }
    };
    std::string data_port_text = std::to_string(data_port_ >> 8) + "," + std::to_string(data_port_ & 0xFF);
    for (const std::string& step : steps_) {
        if (step.rfind("< ", 0) == 0) {
            std::string want = step.substr(2), got;
            if (!next_command(got)) {
                fail("expected \"" + want + "\", the client sent nothing");
                break;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                commands_.push_back(got);
            }
            bool match = !want.empty() && want.back() == '*'
                             ? got.rfind(want.substr(0, want.size() - 1), 0) == 0
                             : got == want;
            if (!match) {
                fail("expected \"" + want + "\", got \"" + got + "\"");
                break;
            }
        } else if (step.rfind("> ", 0) == 0) {
            std::string text = step.substr(2);
            size_t at = text.find("{DATA}");
            if (at != std::string::npos) text.replace(at, 6, data_port_text);
            send_all(fd, text + "\r\n");
        } else if (step.rfind("= ", 0) == 0) {
            send_all(fd, unescape(step.substr(2)));
        } else if (step.rfind("pause ", 0) == 0) {
            usleep(static_cast<useconds_t>(atoi(step.c_str() + 6)) * 1000);
        } else if (step == "hold") {
            wait_for_close(fd, 15000);
            break;
        } else if (step.rfind("trickle ", 0) == 0) {
            if (!trickle(fd, step.substr(8))) break;
        } else if (step.rfind("data-hold", 0) == 0 || step.rfind("data-repeat ", 0) == 0) {
            int d = accept_within(data_fd_, 10000);
            if (d < 0) {
                fail("no data connection for \"" + step + "\"");
                break;
            }
            if (step.rfind("data-hold", 0) == 0) {
                send_all(d, unescape(step.size() > 10 ? step.substr(10) : std::string()));
                wait_for_close(d, 15000);
            } else {
                char* rest = nullptr;
                long count = strtol(step.c_str() + 12, &rest, 10);
                std::string unit = unescape(*rest == ' ' ? std::string(rest + 1) : std::string(rest));
                std::string block;
                while (block.size() < 65536 && !unit.empty()) block += unit;
                long per_block = unit.empty() ? 1 : static_cast<long>(block.size() / unit.size());
                for (long sent = 0; sent < count && !unit.empty();) {
                    long n = std::min(per_block, count - sent);
                    if (!send_all(d, block.substr(0, static_cast<size_t>(n) * unit.size()))) break;
                    sent += n;
                }
            }
            close(d);
        } else if (step.rfind("data-send", 0) == 0 || step == "data-recv" ||
                   step.rfind("data-trickle ", 0) == 0) {
            int d = accept_within(data_fd_, 10000);
            if (d < 0) {
                fail("no data connection for \"" + step + "\"");
                break;
            }
            if (step.rfind("data-trickle ", 0) == 0) {
                trickle(d, step.substr(13));
            } else if (step == "data-recv") {
                char buf[4096];
                ssize_t n;
                while ((n = recv(d, buf, sizeof buf, 0)) > 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    data_.append(buf, static_cast<size_t>(n));
                }
            } else {
                send_all(d, unescape(step.size() > 10 ? step.substr(10) : std::string()));
            }
            close(d);
        } else if (step == "wait-bytes") {
            // Anything at all, or the end of the connection: the client's turn is over.
            pollfd p{fd, POLLIN, 0};
            char buf[4096];
            if (pending.empty() && poll(&p, 1, 10000) > 0) {
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n > 0) pending.append(buf, static_cast<size_t>(n));
            }
            // Kept as commands all the same: a test may check that something was never sent.
            std::string line;
            while (pending.find('\n') != std::string::npos && next_command(line)) {
                std::lock_guard<std::mutex> lock(mutex_);
                commands_.push_back(line);
            }
            pending.clear();
        } else if (step == "close") {
            break;
        } else {
            fail("unknown script step \"" + step + "\"");
            break;
        }
    }
    conn_fd_ = -1;
    close(fd);
    done_ = true;
}

int ScriptedFtpServer::wait(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done_ && std::chrono::steady_clock::now() < deadline) usleep(10 * 1000);
    if (!done_) {
        fail("the script did not finish in time");
        return 1;
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_.empty() ? 0 : 1;
}

std::vector<std::string> ScriptedFtpServer::commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::string ScriptedFtpServer::data_received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
}

std::string ScriptedFtpServer::failure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

}  // namespace orvane::test
