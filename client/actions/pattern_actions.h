// The pattern-matching actions behind the script macros ftpwildcardmatch / ftpglobmatch,
// ftpregexmatch and regexreplace. The macros resolve the parameters and turn
// the result into the statement's completion; these functions do the work and write the error lines.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

// 0 when `text` matches the wildcard `pattern`, else 1. An option text containing "i" lower-cases
// both first (ASCII). Writes nothing.
int wildcard_match_action(std::string_view text, std::string_view pattern, std::string_view options);

// 0 when the regular expression matches somewhere in `subject`, else 1. A pattern that does not
// compile writes "ERROR: " and the compile error text as an error line.
int regex_match_action(std::string_view subject, std::string_view pattern, std::string_view options);

// Replaces the matches of the pattern in `variable` (global with option "g"), the result being built
// into the variable with room for Regex::kReplaceCapacity characters. 0 on success. A pattern that
// does not compile writes "ERROR: " and the compile error text, leaving the variable as it was; a
// result that does not fit writes "ERROR: Could not replace regular expression pattern", leaving the
// incomplete result in the variable. Both are errors with result 1.
int regex_replace_action(std::string& variable, std::string_view pattern, std::string_view replacement,
                         std::string_view options);

}  // namespace orvane
