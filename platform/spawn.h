// Starting programs directly (never through a shell): argument splitting, output capture, waiting.
//
// A parameter text is split into arguments by the Windows command-line rules, so a value taken
// from a server or a schedule file is data and never shell code:
//   - blanks (space, tab) separate arguments; a run of them counts once;
//   - double quotes group: blanks between them belong to the argument, the quotes are removed;
//     inside quotes, two double quotes give one literal quote;
//   - 2n backslashes before a quote give n backslashes and the quote groups; 2n+1 give n
//     backslashes and a literal quote; backslashes anywhere else are literal.
//
// run_program starts argv[0] with posix_spawn (looked up on PATH when it holds no "/"), in a
// process group of its own, with the signal mask and dispositions reset. Its standard input is a
// pipe: the options' input text is written to it and it is closed at once after that. Its standard
// output and standard error share one pipe, read while it runs (a chatty program never blocks)
// and handed to the options' receiver in pieces as they arrive. The caller's thread waits until
// the program ends, or until the stop event is set: then the program's process group gets SIGTERM,
// SIGKILL after a grace time, and the run reports exit code 1 (terminated on request).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event.h"

namespace orvane::platform {

std::vector<std::string> split_command_line(std::string_view text);

// Receives a piece of the program's output (standard output and error together).
using OutputReceiver = void (*)(void* context, const char* data, size_t n);

struct SpawnOptions {
    OutputReceiver on_output = nullptr;  // none: the output is read and dropped
    void* output_context = nullptr;
    std::string input;              // written to the program's standard input, which is then closed
    const Event* stop = nullptr;    // when set: terminate the program and report exit code 1
    std::string folder;             // working folder; empty: the caller's
    int terminate_grace_ms = 3000;  // between SIGTERM and SIGKILL
};

enum class SpawnOutcome {
    kNotStarted,  // error holds the cause ("No such file or directory", ...)
    kExited,      // exit_code holds the program's exit code
    kSignalled,   // it died of signal `signal`; exit_code is 128 + signal, as shells report it
    kStopped,     // terminated because the stop event was set; exit_code is 1
};

struct SpawnResult {
    SpawnOutcome outcome = SpawnOutcome::kNotStarted;
    int exit_code = -1;
    int signal = 0;
    std::string error;
};

// Runs argv (argv[0] is the program) and waits for it as described above. 0 when the program
// ran (whatever its exit code), 1 when it could not be started (result.error says why).
int run_program(const std::vector<std::string>& argv, const SpawnOptions& options, SpawnResult& result);

// Starts argv without waiting: no pipes (the program shares the caller's standard handles), its
// own process group, reaped by a background thread so no zombie stays. 0 when started, 1
// otherwise with the cause in *error.
int start_program(const std::vector<std::string>& argv, const std::string& folder, std::string* error);

}  // namespace orvane::platform
