// Shell line words and the end-of-loop rule.
#include "client/frontend/shell_words.h"

#include "common/text.h"

namespace orvane {

std::vector<std::string> split_shell_words(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size() && line[i] == ' ') ++i;
    while (i < line.size()) {
        size_t end = line.find(' ', i);
        if (end == std::string::npos) {
            words.push_back(line.substr(i));
            break;
        }
        words.push_back(line.substr(i, end - i));
        i = end;
        while (i < line.size() && line[i] == ' ') ++i;
        if (i == line.size()) words.emplace_back();  // a trailing blank: an empty last word
    }
    return words;
}

bool is_shell_end_line(const std::string& line) {
    return istarts_with(line, "bye") || istarts_with(line, "quit") || istarts_with(line, "exit");
}

}  // namespace orvane
