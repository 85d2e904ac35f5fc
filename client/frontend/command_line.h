// The client's command line: options, host and port, run-mode choice.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/frontend/output.h"
#include "client/script/run_engines.h"
#include "client/transfer/session/protocol_kind.h"

namespace orvane {

enum class RunMode { Shell, CommandFile, Script };
// What the entry does with the settings: run a mode, or only answer the command line.
enum class StartAction { Run, Help, Version, Fail };

// The program's name and version, as the banner and --version show them.
inline constexpr const char* kVersionText = "Fendrel secure file transfer client (version 4)";
// The reply timeout of unattended runs (command files, scripts) when -timeout is not given.
inline constexpr int kUnattendedTimeoutSeconds = 120;

struct StartSettings {
    int protocol = kProtocolFtp;
    uint32_t port = 21;
    bool port_given = false;  // an explicit port wins over a protocol's default
    std::string host;
    bool passive = true;
    bool use_nlst = true;
    bool progress = true;  // -noprogress: no progress line on the terminal
    RunMode mode = RunMode::Shell;
    std::string file;  // script or command file
    OutputSettings output;
    bool show_responses = true;
    int timeout_seconds = -1;  // -timeout; -1: the run mode's default (see reply_timeout)
    int parallel = 1;          // -parallel: files a folder transfer may move at once
    StartAction action = StartAction::Run;
    // TLS trust, the client certificate and implicit FTPS (-cacert, -pin, -tlsstrict, -insecure,
    // -cert, -key, -implicit; ORVANE_CA_FILE and ORVANE_TLS_PIN when the options are not given).
    TlsRunSettings tls;
    bool ask_certificate_password = false;  // -certpass: read it from the terminal
};

// The reply timeout in seconds (0: wait forever): as given, else 0 for the interactive shell
// and kUnattendedTimeoutSeconds for command files and scripts.
int reply_timeout(const StartSettings& settings);
// A port number: the whole text is 1 to 65535 in decimal.
bool parse_port(const std::string& text, uint32_t& port);
// Splits "host", "host:port", "[v6]" or "[v6]:port" (a bare IPv6 literal has no port: its
// colons are its own). `port_text` is empty when none is given. False for an unclosed bracket or
// text after "]" that is not ":port".
bool split_host_port(const std::string& text, std::string& host, std::string& port_text);
// The usage summary of --help: run modes, options, exit codes.
const char* usage_text();

// Parses the arguments after the program name. An invalid option, a script or command file option
// without a file name, and an invalid port or timeout are reported through the output sink at
// error level and give StartAction::Fail; `set` options change the process environment.
StartSettings parse_command_line(const std::vector<std::string>& args);

// The client certificate's password of -certpass: ORVANE_CERT_PASS when set, else read from the
// terminal with echo off (never an option value, so it never shows in the process list). Also
// ORVANE_CERT_PASS alone for a -cert given without -certpass. 0 on success; 1 when -certpass
// has neither (reported).
int resolve_certificate_password(StartSettings& settings);

// One leading and one trailing double quote removed.
std::string strip_quotes(const std::string& s);

}  // namespace orvane
