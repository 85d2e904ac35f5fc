// Child programs over posix_spawn and waitpid.
#include "platform/process.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

extern char** environ;

namespace orvane::platform {

namespace {

int spawn_and_wait(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int run_shell_command(const std::string& text) {
    return spawn_and_wait({"/bin/sh", "-c", text});
}

int run_interactive_shell() {
    const char* shell = std::getenv("SHELL");
    return spawn_and_wait({shell && *shell ? shell : "/bin/sh"});
}

}  // namespace orvane::platform
