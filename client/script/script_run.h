// Script runs: the script mode of the client.
#pragma once

#include <string>

namespace orvane {

// Loads, parses and runs the script file; returns the process exit code.
int run_script_mode(const std::string& script_path);

}  // namespace orvane
