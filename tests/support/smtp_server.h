// A real SMTP server for tests: aiosmtpd on a loopback port, saving what it receives.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace orvane::test {

struct SmtpServerOptions {
    std::string user;  // set: AUTH is offered (LOGIN and PLAIN) and this user is accepted
    std::string password;
    std::string exclude;            // AUTH mechanisms not offered, e.g. "LOGIN"
    bool starttls = false;          // STARTTLS offered (a throwaway certificate); AUTH then needs it
    bool require_starttls = false;  // nothing but EHLO, NOOP, QUIT before STARTTLS
    bool implicit_tls = false;      // TLS from the first byte
};

// One aiosmtpd process in its own process group; stopped by the destructor.
class SmtpServer {
  public:
    SmtpServer() = default;
    ~SmtpServer();
    SmtpServer(const SmtpServer&) = delete;
    SmtpServer& operator=(const SmtpServer&) = delete;

    // 0 once the server answers on its port; 1 otherwise, with the reason in error().
    int start(const SmtpServerOptions& options = {});
    void stop();

    int port() const { return port_; }
    const std::string& error() const { return error_; }
    // The n-th message received (1 first): its DATA bytes, and its envelope as JSON text.
    std::string message(int n) const;
    std::string envelope(int n) const;
    // An attachment of the n-th message, decoded by Python's mail parser.
    std::string attachment(int n, const std::string& name) const;
    // One JSON line per authentication attempt.
    std::vector<std::string> auth_records() const;
    std::string log() const;

  private:
    TempDir dir_;
    pid_t pid_ = 0;
    int port_ = 0;
    std::string error_;
};

}  // namespace orvane::test
