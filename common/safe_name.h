// Names and text that come from a server: whether a name may become a local path component, and
// the escaped form in which such text is shown.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

// True when `name` can be used as one local path component as it is: not empty, not "." or "..",
// and free of "/", "\", NUL and control characters (see escape_controls).
bool is_safe_name(std::string_view name);

// The text with every control character but tab written as "\xNN": the C0 range, DEL, and the
// C1 range in its UTF-8 form (each of its two bytes). With `keep_line_ends`, LF stays, and so does
// CR before an LF or at the end of the text, so a message of several lines keeps its shape.
std::string escape_controls(std::string_view text, bool keep_line_ends = false);

}  // namespace orvane
