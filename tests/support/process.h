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

// The built client.
std::string client_binary();

}  // namespace orvane::test
