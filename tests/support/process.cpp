// Child processes for tests, over fork/exec with pipes or a pseudo-terminal.
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace orvane::test {

std::string client_binary() {
    return std::string(ORVANE_BINARY_DIR) + "/bin/orvaneftp";
}

namespace {

// argv for exec: the program, then its arguments, then a null. The strings must outlive it.
std::vector<char*> exec_argv(std::vector<std::string>& storage) {
    std::vector<char*> argv;
    for (auto& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// Forks a child on a new pseudo-terminal of 40 x 200 characters; the master end goes to `master`.
pid_t fork_on_terminal(int* master) {
    struct winsize ws {};
    ws.ws_row = 40;
    ws.ws_col = 200;
    return forkpty(master, nullptr, nullptr, &ws);
}

}  // namespace

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& input, bool terminal, std::chrono::milliseconds timeout,
                          const std::vector<std::string>& extra_env, const std::string& cwd) {
    ProcessResult result;
    // Servers learnt on first use go to a file of this run's own, never the user's.
    TempDir config;
    const std::string known_certs = "ORVANE_KNOWN_CERTS=" + config.file("known_certs");
    std::vector<std::string> argv_s{program};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv = exec_argv(argv_s);

    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1};
    int master = -1;
    pid_t pid;
    if (terminal) {
        pid = fork_on_terminal(&master);
    } else {
        if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) return result;
        pid = fork();
    }
    if (pid < 0) return result;
    if (pid == 0) {
        if (!terminal) {
            dup2(in_pipe[0], 0);
            dup2(out_pipe[1], 1);
            dup2(out_pipe[1], 2);
            close(in_pipe[0]);
            close(in_pipe[1]);
            close(out_pipe[0]);
            close(out_pipe[1]);
        }
        putenv(strdup(known_certs.c_str()));
        for (const auto& e : extra_env) putenv(strdup(e.c_str()));
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int rfd, wfd;
    if (terminal) {
        rfd = wfd = master;
    } else {
        close(in_pipe[0]);
        close(out_pipe[1]);
        rfd = out_pipe[0];
        wfd = in_pipe[1];
    }
    fcntl(wfd, F_SETFL, fcntl(wfd, F_GETFL) | O_NONBLOCK);
    size_t sent = 0;
    bool input_closed = false;
    if (input.empty() && !terminal) {
        close(wfd);
        input_closed = true;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        struct pollfd fds[2];
        int nfds = 0;
        fds[nfds++] = {rfd, POLLIN, 0};
        bool want_write = !input_closed && sent < input.size();
        if (want_write && wfd != rfd) fds[nfds++] = {wfd, POLLOUT, 0};
        if (want_write && wfd == rfd) fds[0].events |= POLLOUT;
        int pr = poll(fds, nfds, static_cast<int>(std::min<long long>(left.count(), 100)));
        if (pr < 0) continue;
        bool eof = false;
        for (int i = 0; i < nfds; ++i) {
            if (fds[i].revents & POLLOUT) {
                ssize_t w = write(wfd, input.data() + sent, input.size() - sent);
                if (w > 0) sent += static_cast<size_t>(w);
                if (sent >= input.size() && !terminal) {
                    close(wfd);
                    input_closed = true;
                }
            }
            if (fds[i].fd == rfd && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                ssize_t r = read(rfd, buf, sizeof buf);
                if (r > 0)
                    result.output.append(buf, static_cast<size_t>(r));
                else
                    eof = true;
            }
        }
        if (eof) break;
    }
    if (!input_closed) close(wfd);
    if (rfd != wfd || !terminal) close(rfd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
}

}  // namespace orvane::test

namespace orvane::test {

ProcessResult run_dialogue(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<DialogueStep>& steps, std::chrono::milliseconds timeout) {
    return run_dialogue_in(program, args, steps, {}, {}, timeout);
}

ProcessResult run_dialogue_in(const std::string& program, const std::vector<std::string>& args,
                              const std::vector<DialogueStep>& steps, const std::vector<std::string>& env,
                              const std::string& cwd, std::chrono::milliseconds timeout) {
    ProcessResult result;
    // Servers learnt on first use go to a file of this run's own, never the user's.
    TempDir config;
    const std::string known_certs = "ORVANE_KNOWN_CERTS=" + config.file("known_certs");
    std::vector<std::string> argv_s{program};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv = exec_argv(argv_s);
    int master = -1;
    pid_t pid = fork_on_terminal(&master);
    if (pid < 0) return result;
    if (pid == 0) {
        putenv(strdup(known_certs.c_str()));
        for (const std::string& e : env) putenv(strdup(e.c_str()));
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t step = 0, searched_from = 0;
    char buf[4096];
    for (;;) {
        if (step < steps.size()) {
            size_t at = result.output.find(steps[step].expect, searched_from);
            if (at != std::string::npos) {
                searched_from = at + steps[step].expect.size();
                const std::string& text = steps[step].send;
                if (write(master, text.data(), text.size()) < 0) break;
                ++step;
                continue;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        struct pollfd fd = {master, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(std::min<long long>(left.count(), 100))) <= 0) continue;
        ssize_t r = read(master, buf, sizeof buf);
        if (r <= 0) break;
        result.output.append(buf, static_cast<size_t>(r));
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
}

void stop_launched(int& pid) {
    if (pid <= 0) return;
    kill(-pid, SIGTERM);
    bool exited = false;
    for (int i = 0; i < 100 && !exited; ++i) {
        exited = waitpid(pid, nullptr, WNOHANG) == pid;
        if (!exited) usleep(20 * 1000);
    }
    kill(-pid, SIGKILL);
    if (!exited) waitpid(pid, nullptr, 0);
    pid = 0;
}

ProcessResult run_script_in(const std::string& folder, const std::string& script,
                            const std::vector<std::string>& options, const std::vector<std::string>& env,
                            std::chrono::milliseconds timeout) {
    std::string path = folder + "/job.fscr";
    write_all(path, script);
    std::vector<std::string> args = options;
    args.push_back("-script");
    args.push_back(path);
    return run_process(client_binary(), args, {}, false, timeout, env, folder);
}

int launch_logged(const std::vector<std::string>& args, const std::string& log_path) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        setpgid(0, 0);
        int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null_fd = open("/dev/null", O_RDONLY);
        if (fd >= 0) dup2(fd, 1), dup2(fd, 2);
        if (null_fd >= 0) dup2(null_fd, 0);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    setpgid(pid, pid);  // also here, so the group can be stopped even before the child has run
    return pid;
}

}  // namespace orvane::test

namespace orvane::test {

DrivenProcess::DrivenProcess(const std::string& program, const std::vector<std::string>& args, bool terminal,
                             const std::vector<std::string>& extra_env, const std::string& cwd) {
    std::vector<std::string> argv_s{program};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv = exec_argv(argv_s);
    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1};
    int master = -1;
    if (terminal) {
        pid_ = fork_on_terminal(&master);
    } else {
        if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) return;
        pid_ = fork();
    }
    if (pid_ < 0) return;
    if (pid_ == 0) {
        if (!terminal) {
            dup2(in_pipe[0], 0);
            dup2(out_pipe[1], 1);
            dup2(out_pipe[1], 2);
            close(in_pipe[0]);
            close(in_pipe[1]);
            close(out_pipe[0]);
            close(out_pipe[1]);
        }
        for (const auto& e : extra_env) putenv(strdup(e.c_str()));
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (terminal) {
        read_fd_ = write_fd_ = master;
    } else {
        close(in_pipe[0]);
        close(out_pipe[1]);
        read_fd_ = out_pipe[0];
        write_fd_ = in_pipe[1];
    }
}

DrivenProcess::~DrivenProcess() {
    if (pid_ > 0) finish(std::chrono::milliseconds(0));
}

bool DrivenProcess::pump(int wait_ms) {
    if (ended_ || read_fd_ < 0) return false;
    struct pollfd fd = {read_fd_, POLLIN, 0};
    if (poll(&fd, 1, wait_ms) <= 0) return true;
    char buf[65536];
    ssize_t r = read(read_fd_, buf, sizeof buf);
    if (r <= 0) {
        ended_ = true;
        return false;
    }
    output_.append(buf, static_cast<size_t>(r));
    return true;
}

bool DrivenProcess::wait_for(const std::string& text, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t at = output_.find(text, consumed_);
        if (at != std::string::npos) {
            consumed_ = at + text.size();
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline || !pump(100)) return false;
    }
}

bool DrivenProcess::wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (!pump(100)) return condition();
    }
    return true;
}

void DrivenProcess::type(const std::string& text) {
    if (write_fd_ < 0) return;
    ssize_t w = write(write_fd_, text.data(), text.size());
    (void)w;
}

void DrivenProcess::send_signal(int signal_number) {
    if (pid_ > 0) kill(pid_, signal_number);
}

ProcessResult DrivenProcess::finish(std::chrono::milliseconds timeout) {
    ProcessResult result;
    if (pid_ <= 0) return result;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        // Once the output has ended, only the exit is left to wait for.
        if (!pump(100)) poll(nullptr, 0, 20);
    }
    while (!ended_ && read_fd_ >= 0) {
        struct pollfd fd = {read_fd_, POLLIN, 0};
        if (poll(&fd, 1, 0) <= 0 || !pump(0)) break;
    }
    if (read_fd_ >= 0) close(read_fd_);
    if (write_fd_ >= 0 && write_fd_ != read_fd_) close(write_fd_);
    read_fd_ = write_fd_ = -1;
    pid_ = -1;
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    result.output = output_;
    return result;
}

}  // namespace orvane::test
