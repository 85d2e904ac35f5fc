// Shell line words and the end-of-loop rule.
#include "client/frontend/shell_words.h"

#include "common/text.h"

namespace orvane {

std::vector<std::string> split_shell_words(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    auto skip_blanks = [&] {
        size_t from = i;
        while (i < line.size() && line[i] == ' ') ++i;
        return i > from;
    };
    skip_blanks();
    while (i < line.size()) {
        std::string word;
        bool quoted = false;
        for (; i < line.size() && (quoted || line[i] != ' '); ++i) {
            if (line[i] == '"')
                quoted = !quoted;
            else
                word += line[i];
        }
        words.push_back(std::move(word));
        if (skip_blanks() && i == line.size()) words.emplace_back();  // a trailing blank: an empty last word
    }
    return words;
}

bool is_shell_end_line(const std::string& line) {
    return istarts_with(line, "bye") || istarts_with(line, "quit") || istarts_with(line, "exit");
}

}  // namespace orvane
