// Splitting a shell line into words: blanks separate, runs count as one, a trailing blank adds
// an empty last word; double quotes group blanks into a word and are removed ("my file.txt").
#pragma once

#include <string>
#include <vector>

namespace orvane {

std::vector<std::string> split_shell_words(const std::string& line);

// True when the line ends the command loop: it begins with "bye", "quit" or "exit" in any case.
bool is_shell_end_line(const std::string& line);

}  // namespace orvane
