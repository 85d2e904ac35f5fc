// Programs started with posix_spawn, their output read through a pipe while they run.
#include "platform/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/crash_report.h"
#include "platform/system.h"

extern char** environ;

namespace orvane::platform {

std::vector<std::string> split_command_line(std::string_view text) {
    std::vector<std::string> args;
    size_t i = 0;
    const size_t n = text.size();
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    for (;;) {
        while (i < n && blank(text[i])) ++i;
        if (i == n) break;
        std::string arg;
        bool quoted = false;
        while (i < n && (quoted || !blank(text[i]))) {
            char c = text[i];
            if (c == '\\') {
                size_t j = i;
                while (j < n && text[j] == '\\') ++j;
                size_t count = j - i;
                if (j < n && text[j] == '"') {
                    arg.append(count / 2, '\\');
                    if (count % 2 == 1) {
                        arg += '"';
                        i = j + 1;
                    } else {
                        i = j;  // the quote groups, next round
                    }
                } else {
                    arg.append(count, '\\');
                    i = j;
                }
            } else if (c == '"') {
                if (quoted && i + 1 < n && text[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += c;
                ++i;
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

namespace {

// Closes a descriptor once; harmless on -1.
void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Spawn attributes every child gets: its own process group, an empty signal mask and default
// dispositions for the signals a parent commonly blocks or ignores.
struct SpawnAttributes {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    SpawnAttributes() {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2})
            sigaddset(&defaults, s);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setflags(&attr,
                                 POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnAttributes() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

// posix_spawn, or posix_spawnp for a name without "/". 0 or an error number.
int spawn(pid_t* pid, const std::vector<std::string>& argv, SpawnAttributes& sa) {
    if (argv.empty() || argv[0].empty()) return ENOENT;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (argv[0].find('/') == std::string::npos)
        return posix_spawnp(pid, args[0], &sa.actions, &sa.attr, args.data(), environ);
    return posix_spawn(pid, args[0], &sa.actions, &sa.attr, args.data(), environ);
}

// Reaps pid when it has ended. True with the wait status in *status.
bool reap(pid_t pid, bool block, int* status) {
    for (;;) {
        pid_t r = waitpid(pid, status, block ? 0 : WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno == EINTR) continue;
        return false;
    }
}

// One running child and the pipe ends the parent keeps.
struct Child {
    pid_t pid = -1;
    int pidfd = -1;
    int in = -1;
    int out = -1;
    size_t input_sent = 0;
};

// Reads what is waiting in the output pipe: true while the pipe stays open.
bool read_output(Child& c, const SpawnOptions& options, size_t limit) {
    char buf[8192];
    size_t taken = 0;
    while (c.out >= 0 && taken < limit) {
        ssize_t r = ::read(c.out, buf, sizeof buf);
        if (r > 0) {
            taken += static_cast<size_t>(r);
            if (options.on_output) options.on_output(options.output_context, buf, static_cast<size_t>(r));
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        close_fd(c.out);  // the end of the output, or a broken pipe
    }
    return c.out >= 0;
}

void write_input(Child& c, const SpawnOptions& options) {
    while (c.in >= 0 && c.input_sent < options.input.size()) {
        ssize_t w = ::write(c.in, options.input.data() + c.input_sent, options.input.size() - c.input_sent);
        if (w > 0) {
            c.input_sent += static_cast<size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            break;  // the program closed its input: the rest is not wanted
        }
    }
    close_fd(c.in);
}

// Waits up to ms for the child to end; true when it has (and is reaped, status in *status).
bool wait_for_end(Child& c, int ms, int* status) {
    if (c.pidfd >= 0) {
        pollfd p{c.pidfd, POLLIN, 0};
        int r;
        do {
            r = ::poll(&p, 1, ms);
        } while (r < 0 && errno == EINTR);
        return reap(c.pid, r > 0, status);
    }
    for (int waited = 0;; waited += 50) {
        if (reap(c.pid, false, status)) return true;
        if (waited >= ms) return false;
        ::usleep(50000);
    }
}

}  // namespace

int run_program(const std::vector<std::string>& argv, const SpawnOptions& options, SpawnResult& result) {
    result = SpawnResult{};
    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1};
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) {
        result.error = error_text(errno);
        close_fd(in_pipe[0]);
        close_fd(in_pipe[1]);
        return 1;
    }
    // With a standard descriptor closed in this process a pipe end could be 0, 1 or 2, and the
    // child's redirections would overwrite it: move such ends up.
    for (int* fd : {&in_pipe[0], &in_pipe[1], &out_pipe[0], &out_pipe[1]}) {
        if (*fd > 2) continue;
        int moved = fcntl(*fd, F_DUPFD_CLOEXEC, 3);
        if (moved >= 0) {
            ::close(*fd);
            *fd = moved;
        }
    }
    Child c;
    int status = 0;
    {
        SpawnAttributes sa;
        posix_spawn_file_actions_adddup2(&sa.actions, in_pipe[0], 0);
        posix_spawn_file_actions_adddup2(&sa.actions, out_pipe[1], 1);
        posix_spawn_file_actions_adddup2(&sa.actions, out_pipe[1], 2);
        if (!options.folder.empty())
            posix_spawn_file_actions_addchdir_np(&sa.actions, options.folder.c_str());
        int e = spawn(&c.pid, argv, sa);
        close_fd(in_pipe[0]);
        close_fd(out_pipe[1]);
        if (e != 0) {
            close_fd(in_pipe[1]);
            close_fd(out_pipe[0]);
            result.error = error_text(e);
            return 1;
        }
    }
    c.in = in_pipe[1];
    c.out = out_pipe[0];
    fcntl(c.in, F_SETFL, fcntl(c.in, F_GETFL) | O_NONBLOCK);
    fcntl(c.out, F_SETFL, fcntl(c.out, F_GETFL) | O_NONBLOCK);
    c.pidfd = static_cast<int>(::syscall(SYS_pidfd_open, c.pid, 0));
    write_input(c, options);

    bool ended = false, stopped = false;
    while (!ended) {
        pollfd fds[4];
        nfds_t n = 0;
        int out_at = -1, in_at = -1, stop_at = -1;
        if (c.out >= 0) {
            out_at = static_cast<int>(n);
            fds[n++] = {c.out, POLLIN, 0};
        }
        if (c.in >= 0) {
            in_at = static_cast<int>(n);
            fds[n++] = {c.in, POLLOUT, 0};
        }
        if (options.stop) {
            stop_at = static_cast<int>(n);
            fds[n++] = {options.stop->descriptor(), POLLIN, 0};
        }
        if (c.pidfd >= 0) fds[n++] = {c.pidfd, POLLIN, 0};
        // Without a pidfd (old kernels) the end of the program is looked for every 100 ms.
        int r = ::poll(fds, n, c.pidfd >= 0 ? -1 : 100);
        if (r < 0 && errno != EINTR) break;
        if (r > 0 && stop_at >= 0 && (fds[stop_at].revents & POLLIN)) {
            stopped = true;
            break;
        }
        if (r > 0 && in_at >= 0 && fds[in_at].revents) write_input(c, options);
        if (r > 0 && out_at >= 0 && fds[out_at].revents) read_output(c, options, 1 << 20);
        if (reap(c.pid, false, &status)) ended = true;
    }
    if (!ended) {
        ::killpg(c.pid, SIGTERM);
        if (!wait_for_end(c, options.terminate_grace_ms, &status)) {
            ::killpg(c.pid, SIGKILL);
            reap(c.pid, true, &status);
        }
    }
    // What the program wrote before it ended is in the pipe; a descendant that keeps the pipe
    // open is not waited for.
    read_output(c, options, 16u << 20);
    close_fd(c.in);
    close_fd(c.out);
    close_fd(c.pidfd);
    if (stopped || !ended) {
        result.outcome = SpawnOutcome::kStopped;
        result.exit_code = 1;
    } else if (WIFEXITED(status)) {
        result.outcome = SpawnOutcome::kExited;
        result.exit_code = WEXITSTATUS(status);
    } else {
        result.outcome = SpawnOutcome::kSignalled;
        result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        result.exit_code = 128 + result.signal;
    }
    return 0;
}

int start_program(const std::vector<std::string>& argv, const std::string& folder, std::string* error) {
    SpawnAttributes sa;
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&sa.actions, folder.c_str());
    pid_t pid = -1;
    int e = spawn(&pid, argv, sa);
    if (e != 0) {
        if (error) *error = error_text(e);
        return 1;
    }
    std::thread([pid] {
        ThreadSignalStack alt_stack;
        int status;
        reap(pid, true, &status);
    }).detach();
    return 0;
}

}  // namespace orvane::platform
