// The interactive shell and command-file modes.
#include "client/frontend/output.h"
#include "client/frontend/run_modes.h"

namespace orvane {

int run_shell_mode(const StartSettings& settings) {
    if (settings.mode == RunMode::CommandFile)
        output("Error: command-file mode is not available yet", kLevelError);
    else
        output("Error: the interactive shell is not available yet", kLevelError);
    return 1;
}

}  // namespace orvane
