// Script runs: the script mode of the client.
#pragma once

#include <string>

#include "client/script/run_engines.h"

namespace orvane {

// Loads, parses and runs the script file; returns the process exit code. Every session the
// script makes gives up on a server silent for `timeout_seconds` (0: waits forever).
int run_script_mode(const std::string& script_path, int timeout_seconds, const TlsRunSettings& tls = {},
                    int parallel = 1);

}  // namespace orvane
