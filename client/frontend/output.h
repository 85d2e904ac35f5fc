// The standard output channel: the console, or a log file with tags, timestamps and rollover.
#pragma once

#include <cstdint>
#include <string>

#include "common/log.h"
#include "common/time_text.h"  // log_timestamp

namespace orvane {

// The console and log-file channel behind the standard sink.
struct OutputSettings {
    std::string log_file;  // empty: the console
    bool timestamps = false;
    bool append = false;
    uint32_t rollover = 0;  // bytes; 0: none
    bool colour = true;
    bool quiet = false;  // the console shows only errors and data
};

// Installs the standard sink (console, or the log file once initialised).
void install_standard_output();
// Opens the log file when one is named and reads the console's state. 0 on success; a log
// file that cannot be opened is reported on the console, which keeps the output, and gives 1.
int initialise_output(const OutputSettings& settings);
// Closes the log file; the console takes over again.
void shutdown_output();

// While on, standard output carries only data (the bytes of `get FILE -`): every message goes to
// standard error.
void reserve_stdout_for_data(bool on);

// The escapes that colour a prompt typed at the terminal (both empty when colour is off).
void prompt_colour(std::string& start, std::string& end);

// The log tag of a level, always six characters.
const char* level_tag(int level);
// The console text attribute of a level (9..14), or 0 for the console's own. A reply takes the
// error colour when its class is 4 or 5 (refused), so a refusal never looks like a success.
int level_attribute(int level, const std::string& text = {});

}  // namespace orvane
