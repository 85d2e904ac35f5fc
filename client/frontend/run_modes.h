// The run modes the entry hands over to; each returns the process exit code.
#pragma once

#include <string>

#include "client/frontend/command_line.h"
#include "client/script/script_run.h"

namespace orvane {

// Shell and command-file modes: the command loop. Script mode is the script engine's
// run_script_mode().
int run_shell_mode(const StartSettings& settings);

}  // namespace orvane
