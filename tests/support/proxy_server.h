// tinyproxy on loopback as the HTTP CONNECT proxy of tests, open or with Basic authentication.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace orvane::test {

class ProxyServer {
  public:
    ~ProxyServer();
    // With a user name, the proxy asks for Basic authentication. 0 once it listens.
    int start(const std::string& user = {}, const std::string& password = {});
    void stop();
    int port() const { return port_; }
    const std::string& error() const { return error_; }

  private:
    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string error_;
};

}  // namespace orvane::test
