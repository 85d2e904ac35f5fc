// The logging interface every layer writes through: levels, the sink, output().
#pragma once

#include <string>

namespace orvane {

// Output levels, shared by the whole system.
enum OutputLevel : int {
    kLevelInfo = 101,
    kLevelWarning = 102,
    kLevelError = 103,
    kLevelCommand = 104,   // a command sent to a server
    kLevelResponse = 105,  // a reply from a server
    kLevelData = 106,      // what the user asked to see (a listing, a printed line): kept by a quiet run
    kLevelProgress = 107,  // a transfer's updating line: a terminal's only, never a pipe or a log
};

// The sink: text, level, and line end (1: a whole line; 0: the text continues the current line).
using OutputSink = void (*)(void* context, const char* text, int level, int line_end);

// Installs the process-wide sink and its context as one value: a message never reaches a new
// sink with the old context. Output is enabled once a sink is installed.
void set_output_sink(OutputSink sink, void* context);
// Sends text through the installed sink (nothing happens when none is installed).
void output(const char* text, int level, int line_end = 1);
inline void output(const std::string& text, int level, int line_end = 1) {
    output(text.c_str(), level, line_end);
}
// Sends text through `sink` with its context when one is given (a session's, a script's or a mail
// record's log), otherwise through the process sink.
void output_to(OutputSink sink, void* context, const char* text, int level, int line_end = 1);
inline void output_to(OutputSink sink, void* context, const std::string& text, int level, int line_end = 1) {
    output_to(sink, context, text.c_str(), level, line_end);
}
// printf-style message, a whole line.
void outputf(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace orvane
