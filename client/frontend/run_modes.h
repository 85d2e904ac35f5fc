// The run modes the entry hands over to; each returns the process exit code.
#pragma once

#include <string>

#include "client/frontend/command_line.h"

namespace orvane {

// Shell and command-file modes: the command loop.
int run_shell_mode(const StartSettings& settings);
// Script mode: parse and run the script file.
int run_script_mode(const std::string& script_path);

}  // namespace orvane
