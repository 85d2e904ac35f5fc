// The run modes the entry hands over to; each returns the process exit code.
#pragma once

#include <string>

#include "client/frontend/command_line.h"
#include "client/script/script_run.h"

namespace orvane {

// Shell and command-file modes: the command loop.
int run_shell_mode(const StartSettings& settings);
// Script mode: run_script_mode() of the script engine.

}  // namespace orvane
