// Tab completion of shell lines: command names in the first word, then local or remote names by
// what each command's argument means.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/frontend/line_reader.h"

namespace orvane {

struct CompletionName {
    std::string name;
    bool folder = false;
};

struct NameSources {
    std::vector<std::string> commands;
    // The names in a remote folder, as typed ("" for the current one, else ending in "/"); from
    // the server: untrusted.
    std::function<std::vector<CompletionName>(const std::string& folder)> remote;
    // The names in a local folder, as typed ("" for the current one, else ending in "/").
    std::function<std::vector<CompletionName>(const std::string& folder)> local;
};

// The candidates for the word that ends the text before the cursor.
Completion complete_line(const std::string& before_cursor, const NameSources& sources);

// A name that completion may put on the line: one safe path component of printable ASCII without
// a double quote (which no shell word can hold). Any other name is never offered, so nothing a
// server lists reaches the terminal raw.
bool completable_name(std::string_view name);

}  // namespace orvane
