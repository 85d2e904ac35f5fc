// Runs a program for process-level tests: through pipes, or on a pseudo-terminal.
#pragma once

#include <chrono>
#include <functional>
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

// A program a test drives step by step while it runs: on a pseudo-terminal (what is typed is its
// input, "\x03" a Ctrl-C) or with pipes (standard input empty and open). The destructor kills
// it when it is still running.
class DrivenProcess {
  public:
    DrivenProcess(const std::string& program, const std::vector<std::string>& args, bool terminal,
                  const std::vector<std::string>& extra_env = {}, const std::string& cwd = {});
    ~DrivenProcess();
    DrivenProcess(const DrivenProcess&) = delete;
    DrivenProcess& operator=(const DrivenProcess&) = delete;

    // Reads output until `text` appears after what earlier waits consumed. False on timeout.
    bool wait_for(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Reads output until `condition` holds (it is asked after each read, and at least ten times a
    // second). False on timeout.
    bool wait_until(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30));
    void type(const std::string& text);
    void send_signal(int signal_number);
    // Waits for the end (SIGKILL after the timeout): the exit code and everything it wrote.
    ProcessResult finish(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    const std::string& output() const { return output_; }

  private:
    // One read of what is waiting, up to `wait_ms`; false once the output has ended.
    bool pump(int wait_ms);

    int pid_ = -1;
    int read_fd_ = -1, write_fd_ = -1;
    bool ended_ = false;
    size_t consumed_ = 0;
    std::string output_;
};

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
