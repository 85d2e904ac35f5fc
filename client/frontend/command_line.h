// The client's command line: options, host and port, run-mode choice.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/frontend/output.h"
#include "client/transfer/session/protocol_kind.h"

namespace orvane {

enum class RunMode { Shell, CommandFile, Script };

struct StartSettings {
    int protocol = kProtocolFtp;
    uint32_t port = 21;
    std::string host;
    bool passive = true;
    bool use_nlst = true;
    RunMode mode = RunMode::Shell;
    std::string file;  // script or command file
    OutputSettings output;
    bool show_responses = true;
};

// Parses the arguments after the program name. Invalid options are reported through the
// output sink at error level and skipped; `set` options change the process environment.
StartSettings parse_command_line(const std::vector<std::string>& args);

// One leading and one trailing double quote removed.
std::string strip_quotes(const std::string& s);

}  // namespace orvane
