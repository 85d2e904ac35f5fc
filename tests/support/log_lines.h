// A log sink for tests: keeps every line with its level, and finds a line by level and part.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace orvane::test {

struct LogLines {
    std::vector<std::pair<int, std::string>> lines;

    bool has(int level, const std::string& part) const {
        for (const auto& [l, text] : lines)
            if (l == level && text.find(part) != std::string::npos) return true;
        return false;
    }
    // The log callback; its user pointer is the LogLines.
    static void collect(void* user, const char* text, int level, int) {
        static_cast<LogLines*>(user)->lines.emplace_back(level, text);
    }
};

}  // namespace orvane::test
