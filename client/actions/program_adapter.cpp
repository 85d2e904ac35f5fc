// The program adapter: the functions of programs.h over posix_spawn, with one pipe for the
// program's input and one for its output and error, read while it runs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "client/actions/programs.h"

extern char** environ;

namespace orvane {
namespace {

std::string system_text(int error) {
    return std::strerror(error);
}

struct Fd {
    int fd = -1;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes,
                                 POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

int spawn(const std::vector<std::string>& argv, SpawnSetup& setup, pid_t& pid, std::string& error) {
    if (argv.empty() || argv[0].empty()) {
        error = "No program named";
        return 1;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int e = posix_spawnp(&pid, args[0], &setup.actions, &setup.attributes, args.data(), environ);
    if (e != 0) {
        error = system_text(e);
        return 1;
    }
    return 0;
}

// Writes without raising SIGPIPE when the program has closed its input: the signal is blocked
// for this thread and a pending one taken back.
ssize_t write_quietly(int fd, const char* data, size_t n) {
    sigset_t pipe_only, old;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    ssize_t w = ::write(fd, data, n);
    int e = errno;
    if (w < 0 && e == EPIPE) {
        struct timespec zero = {0, 0};
        sigtimedwait(&pipe_only, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = e;
    return w;
}

bool wait_child(pid_t pid, int& status, bool block) {
    for (;;) {
        pid_t r = waitpid(pid, &status, block ? 0 : WNOHANG);
        if (r == pid) return true;
        if (r == 0) return false;
        if (errno != EINTR) return true;  // not ours any more: nothing to wait for
    }
}

}  // namespace

std::vector<std::string> split_program_arguments(std::string_view text) {
    std::vector<std::string> args;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i == text.size()) break;
        std::string arg;
        bool quoted = false;
        while (i < text.size() && (quoted || (text[i] != ' ' && text[i] != '\t'))) {
            char c = text[i];
            if (c == '\\') {
                size_t n = 0;
                while (i < text.size() && text[i] == '\\') ++n, ++i;
                if (i < text.size() && text[i] == '"') {
                    arg.append(n / 2, '\\');
                    if (n % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(n, '\\');
                }
                continue;
            }
            if (c == '"') {
                if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg += c;
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

int run_program_with_input(const std::vector<std::string>& argv, const std::string& input, ProgramOutput sink,
                           void* context, ProgramRun& run) {
    run = ProgramRun{};
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        run.error = system_text(errno);
        return 1;
    }
    Fd in_read{in[0]}, in_write{in[1]};
    if (pipe2(out, O_CLOEXEC) != 0) {
        run.error = system_text(errno);
        return 1;
    }
    Fd out_read{out[0]}, out_write{out[1]};
    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, in_read.fd, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, out_write.fd, 1);
    posix_spawn_file_actions_adddup2(&setup.actions, out_write.fd, 2);
    pid_t pid;
    if (spawn(argv, setup, pid, run.error) != 0) return 1;
    in_read.reset();
    out_write.reset();
    fcntl(in_write.fd, F_SETFL, O_NONBLOCK);
    fcntl(out_read.fd, F_SETFL, O_NONBLOCK);

    size_t written = 0;
    if (input.empty()) in_write.reset();
    int status = 0;
    bool ended = false;
    char buffer[16384];
    // Until the output has ended and the input is written (or refused). A program that leaves a
    // child holding the output pipe must not keep us here once it ended: the wait wakes now and
    // then to look, and after its end only what is already waiting is read.
    while (out_read.fd >= 0 || in_write.fd >= 0) {
        struct pollfd fds[2];
        nfds_t n = 0;
        int out_at = -1, in_at = -1;
        if (out_read.fd >= 0) out_at = static_cast<int>(n), fds[n++] = {out_read.fd, POLLIN, 0};
        if (in_write.fd >= 0) in_at = static_cast<int>(n), fds[n++] = {in_write.fd, POLLOUT, 0};
        int r = poll(fds, n, ended ? 0 : 200);
        if (r < 0 && errno != EINTR) break;
        if (in_at >= 0 && (fds[in_at].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t w = write_quietly(in_write.fd, input.data() + written, input.size() - written);
            if (w > 0) written += static_cast<size_t>(w);
            if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) in_write.reset();
        }
        if (out_at >= 0 && ((fds[out_at].revents & (POLLIN | POLLERR | POLLHUP)) || ended)) {
            ssize_t got = ::read(out_read.fd, buffer, sizeof buffer);
            if (got > 0) {
                if (sink) sink(context, buffer, static_cast<size_t>(got));
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR) || ended) {
                out_read.reset();
            }
        }
        if (!ended) ended = wait_child(pid, status, false);
        if (ended && out_read.fd < 0) break;  // input nobody will read
    }
    in_write.reset();
    out_read.reset();
    if (!ended) wait_child(pid, status, true);
    if (WIFSIGNALED(status)) {
        run.end = ProgramEnd::kSignalled;
        run.signal = WTERMSIG(status);
        run.exit_code = 128 + run.signal;
    } else {
        run.end = ProgramEnd::kExited;
        run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return 0;
}

int start_program_detached(const std::vector<std::string>& argv, std::string* error) {
    SpawnSetup setup;
    pid_t pid;
    std::string cause;
    if (spawn(argv, setup, pid, cause) != 0) {
        if (error) *error = cause;
        return 1;
    }
    std::thread([pid] {
        int status;
        wait_child(pid, status, true);
    }).detach();
    return 0;
}

}  // namespace orvane
