// Console: terminal detection, colour escapes by text attribute, echo control, raw writes.
#pragma once

#include <cstddef>
#include <string>

namespace orvane::platform {

bool stdout_is_terminal();
bool stdin_is_terminal();
bool stderr_is_terminal();
// True unless NO_COLOR is set in the environment.
bool colour_permitted_by_environment();
// The SGR escape for a console text attribute (9 bright blue, 10 bright green, 11 bright cyan,
// 12 bright red, 14 yellow), or an empty text for any other attribute.
std::string colour_escape(int attribute);
inline constexpr const char* kColourReset = "\x1b[0m";
// Writes straight to standard output (unbuffered).
void console_write(const char* text, size_t n);
// The same for data the user asked for: 0 when every byte was written, else 1 (errno set).
int console_write_data(const char* text, size_t n);
// Writes straight to standard error (unbuffered).
void console_write_error(const char* text, size_t n);
// Turns echo of standard input off or on when it is a terminal; returns 0 on success.
int console_set_echo(bool on);

// Until console_release_input(), what is typed at the terminal is kept byte for byte for a line
// editor: no echo, no line buffering, Ctrl-C a character rather than SIGINT. A line editor shows
// its prompt before it takes the terminal over, and a key typed in between must not be echoed,
// kept in a half line, or end the program. 0 when standard input is a terminal and was changed.
int console_hold_input();
// Puts the terminal back as console_hold_input() found it.
void console_release_input();

// Reads one line from standard input, unbuffered (so a child program started afterwards sees
// the rest): bytes up to CR or LF, at most `capacity` kept and the rest of the line dropped. An LF
// right after a CR that ended the previous line is skipped. Returns the kept length, or -1 at
// the end of the input with nothing read.
int console_read_line(std::string& line, size_t capacity);

}  // namespace orvane::platform
