// The aiosmtpd test server: a process group of its own, its port, its saved messages.
#include "tests/support/smtp_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "tests/support/ftp_servers.h"
#include "tests/support/process.h"

namespace orvane::test {

SmtpServer::~SmtpServer() {
    stop();
}

void SmtpServer::stop() {
    stop_launched(pid_);
}

std::string SmtpServer::log() const {
    return read_all(dir_.path() + "/server.log");
}

std::string SmtpServer::message(int n) const {
    return read_all(dir_.path() + "/out/message-" + std::to_string(n) + ".eml");
}

std::string SmtpServer::envelope(int n) const {
    return read_all(dir_.path() + "/out/message-" + std::to_string(n) + ".json");
}

std::string SmtpServer::attachment(int n, const std::string& name) const {
    return read_all(dir_.path() + "/out/message-" + std::to_string(n) + ".parts/" + name);
}

std::vector<std::string> SmtpServer::auth_records() const {
    std::vector<std::string> lines;
    std::istringstream in(read_all(dir_.path() + "/out/auth.jsonl"));
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

int SmtpServer::start(const SmtpServerOptions& options) {
    stop();
    error_.clear();
    std::filesystem::create_directories(dir_.path() + "/out");
    bool tls = options.starttls || options.implicit_tls;
    if (tls && make_self_signed_certificate(dir_.path()) != 0) {
        error_ = "openssl could not make a certificate";
        return 1;
    }
    // Another process may take the port between our probe and the server's bind: try a few.
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = free_loopback_port();
        std::vector<std::string> args = {"/usr/bin/python3",
                                         std::string(ORVANE_SOURCE_DIR) + "/tests/support/aiosmtpd_server.py",
                                         "--port",
                                         std::to_string(port_),
                                         "--out",
                                         dir_.path() + "/out"};
        if (!options.user.empty()) {
            args.insert(args.end(), {"--user", options.user, "--password", options.password});
            if (!options.exclude.empty()) args.insert(args.end(), {"--exclude", options.exclude});
        }
        if (tls)
            args.insert(args.end(), {"--cert", dir_.path() + "/cert.pem", "--key", dir_.path() + "/key.pem"});
        if (options.starttls) args.push_back("--starttls");
        if (options.require_starttls) args.push_back("--require-starttls");
        if (options.implicit_tls) args.push_back("--implicit-tls");
        std::string log_path = dir_.path() + "/server.log";
        pid_t pid = launch_logged(args, log_path);
        if (pid < 0) {
            error_ = "fork failed";
            return 1;
        }
        pid_ = pid;
        if (wait_for_port(port_, pid_)) return 0;
        error_ = "aiosmtpd did not answer on port " + std::to_string(port_) + ": " + log();
        stop();
    }
    return 1;
}

}  // namespace orvane::test
