// tinyproxy in the foreground, in its own process group, with a configuration of our own.
#include "tests/support/proxy_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/ftp_servers.h"
#include "tests/support/process.h"

namespace orvane::test {

ProxyServer::~ProxyServer() {
    stop();
}

void ProxyServer::stop() {
    stop_launched(pid_);
}

int ProxyServer::start(const std::string& user, const std::string& password) {
    stop();
    if (access("/usr/bin/tinyproxy", X_OK) != 0) {
        error_ = "tinyproxy is not installed";
        return 1;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = free_loopback_port();
        std::string conf = "Port " + std::to_string(port_) +
                           "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\nMaxClients 8\nLogLevel Info\n";
        if (getuid() == 0) conf += "User nobody\nGroup nogroup\n";
        if (!user.empty()) conf += "BasicAuth " + user + " " + password + "\n";
        std::string conf_path = dir_.file("tinyproxy.conf");
        write_all(conf_path, conf);
        std::string log_path = dir_.file("tinyproxy.log");
        pid_t pid = launch_logged({"/usr/bin/tinyproxy", "-d", "-c", conf_path}, log_path);
        pid_ = pid;
        if (wait_for_port(port_, pid_)) return 0;
        error_ = read_all(log_path);
        stop();
    }
    return 1;
}

}  // namespace orvane::test
