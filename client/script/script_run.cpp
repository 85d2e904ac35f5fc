// Script runs: load, parse and run a script file.
#include "client/frontend/output.h"
#include "client/frontend/run_modes.h"

namespace orvane {

int run_script_mode(const std::string&) {
    output("Error: running scripts is not available yet", kLevelError);
    return 1;
}

}  // namespace orvane
