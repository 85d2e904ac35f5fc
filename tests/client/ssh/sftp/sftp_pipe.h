// OpenSSH's sftp-server as a child process spoken to over its standard input and output, and the
// carrier loop that moves bytes between it and our SFTP engine (no SSH in between).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "client/ssh/sftp/sftp_client.h"

namespace orvane::test {

inline std::string sftp_server_binary() {
    for (const char* p : {"/usr/lib/openssh/sftp-server", "/usr/lib/sftp-server"})
        if (access(p, X_OK) == 0) return p;
    return {};
}

// sftp-server as a child process in `folder`, with non-blocking pipes both ways.
class SftpServerProcess {
  public:
    explicit SftpServerProcess(const std::string& folder) {
        signal(SIGPIPE, SIG_IGN);  // a server that died fails the write, not the process
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            if (chdir(folder.c_str()) != 0) _exit(127);
            execl(sftp_server_binary().c_str(), "sftp-server", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
        fcntl(to_, F_SETFL, O_NONBLOCK);
        fcntl(from_, F_SETFL, O_NONBLOCK);
    }
    ~SftpServerProcess() {
        if (to_ >= 0) close(to_);
        if (from_ >= 0) close(from_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Carries bytes until the operation ends; a silent server fails it after `timeout_ms`.
    int run(sftp::Client& c, int timeout_ms = 20000) {
        char buf[65536];
        for (;;) {
            int r = c.step();
            if (r != sftp::kPending) return r;
            pollfd fds[2] = {{from_, POLLIN, 0}, {to_, static_cast<short>(c.has_output() ? POLLOUT : 0), 0}};
            if (poll(fds, 2, timeout_ms) == 0) {
                c.fail_no_answer(timeout_ms / 1000);
                return c.step();
            }
            if (fds[1].revents & POLLOUT) {
                std::string_view out = c.output_view();
                ssize_t n = write(to_, out.data(), out.size());
                if (n > 0) c.output_sent(static_cast<size_t>(n));
            }
            if (fds[0].revents & (POLLIN | POLLHUP)) {
                ssize_t n = read(from_, buf, sizeof buf);
                if (n > 0) c.receive(std::string_view(buf, static_cast<size_t>(n)));
                if (n == 0) c.receive_closed();
            }
        }
    }

  private:
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
};

}  // namespace orvane::test
