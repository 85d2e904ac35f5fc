// Child programs: a command line through the system shell, or the user's interactive shell.
#pragma once

#include <string>

namespace orvane::platform {

// Runs TEXT through "/bin/sh -c" on the same terminal and waits for it. Returns its exit code,
// or -1 when it could not be started or did not end normally.
int run_shell_command(const std::string& text);
// Starts the user's interactive shell ($SHELL, else /bin/sh) on the same terminal and waits.
int run_interactive_shell();

}  // namespace orvane::platform
