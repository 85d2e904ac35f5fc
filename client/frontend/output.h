// The output sink: every message of the system goes through it with a level.
#pragma once

#include <cstdint>
#include <string>

namespace orvane {

// Output levels, shared by the whole system.
enum OutputLevel : int {
    kLevelInfo = 101,
    kLevelWarning = 102,
    kLevelError = 103,
    kLevelCommand = 104,   // a command sent to a server
    kLevelResponse = 105,  // a reply from a server
};

// The sink: text, level, and line end (1: a whole line; 0: the text continues the current line).
using OutputSink = void (*)(void* context, const char* text, int level, int line_end);

// Installs the process-wide sink. Output is enabled once a sink is installed.
void set_output_sink(OutputSink sink, void* context);
// Sends text through the installed sink (nothing happens when none is installed).
void output(const char* text, int level, int line_end = 1);
inline void output(const std::string& text, int level, int line_end = 1) {
    output(text.c_str(), level, line_end);
}
// printf-style message, a whole line.
void outputf(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The console and log-file channel behind the standard sink.
struct OutputSettings {
    std::string log_file;  // empty: the console
    bool timestamps = false;
    bool append = false;
    uint32_t rollover = 0;  // bytes; 0: none
    bool colour = true;
};

// Installs the standard sink (console, or the log file once initialised).
void install_standard_output();
// Opens the log file when one is named and reads the console's state. 0 on success; a log
// file that cannot be opened leaves output going nowhere and returns 1.
int initialise_output(const OutputSettings& settings);
// Closes the log file; the console takes over again.
void shutdown_output();

// The log tag of a level, always six characters.
const char* level_tag(int level);
// The console text attribute of a level (9..14), or 0 for the console's own.
int level_attribute(int level);
// Local time as "M/D/YYYY H:MM:SS AM" (12-hour clock, no leading zeros on month, day, hour).
std::string log_timestamp(int64_t unix_time);

}  // namespace orvane
