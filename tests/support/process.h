// Runs a program for process-level tests: through pipes, or on a pseudo-terminal.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace orvane::test {

struct ProcessResult {
    int exit_code = -1;  // -1 when it did not exit normally
    std::string output;  // standard output and error together
};

// Runs `program` with `args`, feeding `input` on standard input, within `timeout`.
// With `terminal` the child's standard input and output are a pseudo-terminal.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& input = {}, bool terminal = false,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30),
                          const std::vector<std::string>& extra_env = {}, const std::string& cwd = {});

// One exchange of a dialogue: wait until `expect` has appeared in the output (since the previous
// exchange), then type `send`.
struct DialogueStep {
    std::string expect;
    std::string send;
};
// Runs `program` on a pseudo-terminal and types each step's text once its prompt has appeared,
// as a person would. Steps not reached before the timeout are left out.
ProcessResult run_dialogue(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<DialogueStep>& steps,
                           std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The same with `env` added to the child's environment and `cwd` as its working folder.
ProcessResult run_dialogue_in(const std::string& program, const std::vector<std::string>& args,
                              const std::vector<DialogueStep>& steps, const std::vector<std::string>& env,
                              const std::string& cwd,
                              std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The built client.
std::string client_binary();
// Writes `script` to job.fscr in `folder` and runs the client on it there: `options` go before
// "-script", `env` is added to the environment.
ProcessResult run_script_in(const std::string& folder, const std::string& script,
                            const std::vector<std::string>& options = {},
                            const std::vector<std::string>& env = {},
                            std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Starts a server program (args[0] is its path) in a process group of its own, its output and
// errors into `log_path`, its input from /dev/null. The child's pid (the group's id), or -1.
int launch_logged(const std::vector<std::string>& args, const std::string& log_path);
// Ends a group that launch_logged started: SIGTERM to the whole group, up to two seconds for its
// leader to exit, then SIGKILL to what is left of the group (servers fork a process per session).
// Sets `pid` to 0; nothing when it is not positive.
void stop_launched(int& pid);

}  // namespace orvane::test
