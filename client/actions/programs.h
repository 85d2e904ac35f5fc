// Starting programs for script actions, never through a shell. The functions are implemented by
// the program adapter (program_adapter.cpp) over the system's process layer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// Splits a parameter text into arguments by the Windows command-line rules: blanks separate,
// double quotes group, a backslash before a quote escapes it.
std::vector<std::string> split_program_arguments(std::string_view text);

// Receives a piece of a program's output (standard output and error together), as it arrives.
using ProgramOutput = void (*)(void* context, const char* data, size_t n);

enum class ProgramEnd : int {
    kNotStarted,  // error holds the cause
    kExited,      // exit_code holds the program's exit code
    kSignalled,   // signal holds the signal that ended it
};

struct ProgramRun {
    ProgramEnd end = ProgramEnd::kNotStarted;
    int exit_code = -1;
    int signal = 0;
    std::string error;
};

// Runs argv (argv[0] looked up on PATH when it holds no "/"): `input` is written to its standard
// input, which is then closed; its output is read while it runs and handed to `sink`; the call
// returns when it has ended. 0 when it ran (whatever its end), 1 when it could not be started.
int run_program_with_input(const std::vector<std::string>& argv, const std::string& input, ProgramOutput sink,
                           void* context, ProgramRun& run);

// Starts argv in its own process group without waiting for it (it is reaped when it ends, so no
// zombie stays). 0 when started; 1 with the cause in *error.
int start_program_detached(const std::vector<std::string>& argv, std::string* error);

}  // namespace orvane
