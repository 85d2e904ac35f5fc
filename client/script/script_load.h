// Loading a script for a run: open the file, parse it, and report what keeps it from running.
#pragma once

#include <string>

#include "client/script/parse_errors.h"
#include "client/script/program_tree.h"
#include "client/script/script_symbols.h"

namespace orvane::script {

// What a run keeps of its script until it ends. The program points into the symbols.
struct LoadedScript {
    SymbolTable symbols;
    Program program;
    ParseErrors errors;
};

// Opens and parses the script at `script_path` (a "\" in it is read as "/"). When the file cannot
// be read or has parse errors, outputs the messages at error level and returns the exit code 1;
// returns 0 when the program may run.
int load_script(const std::string& script_path, LoadedScript& script);

}  // namespace orvane::script
