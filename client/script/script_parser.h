// The script parser: the whole file into a program tree, collecting every parse error on the way.
#pragma once

#include "client/script/parse_errors.h"
#include "client/script/program_tree.h"
#include "client/script/script_reader.h"
#include "client/script/script_symbols.h"

namespace orvane::script {

// Reads the whole script. Statements go into `program`, value tokens into `symbols`, and every
// fault into `errors` in file order. Returns the number of errors (0: the program may run).
int parse_script(ScriptReader& reader, SymbolTable& symbols, Program& program, ParseErrors& errors);

}  // namespace orvane::script
