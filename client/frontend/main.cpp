// orvaneftp entry: output first, then the command line, the run mode, and the exit code.
#include <string>
#include <vector>

#include "client/frontend/command_line.h"
#include "client/frontend/output.h"
#include "client/frontend/run_modes.h"
#include "common/version.h"
#include "platform/crash_report.h"

int main(int argc, char** argv) {
    orvane::platform::install_crash_report();
    using namespace orvane;
    install_standard_output();
    std::vector<std::string> args(argv + 1, argv + argc);
    StartSettings settings = parse_command_line(args);
    switch (settings.action) {
        case StartAction::Help:
            output(usage_text(), kLevelInfo);
            return 0;
        case StartAction::Version:
            // The release number first, on a line of its own, for packagers and scripts.
            output(std::string("orvaneftp ") + release_version(), kLevelInfo);
            output(kVersionText, kLevelInfo);
            return 0;
        case StartAction::Fail:
            return 1;
        case StartAction::Run:
            break;
    }
    if (resolve_certificate_password(settings) != 0) return 1;
    initialise_output(settings.output);  // a log that cannot be opened leaves output on the console
    int code = settings.mode == RunMode::Script
                   ? run_script_mode(settings.file, reply_timeout(settings), settings.tls, settings.parallel)
                   : run_shell_mode(settings);
    shutdown_output();
    return code;
}
