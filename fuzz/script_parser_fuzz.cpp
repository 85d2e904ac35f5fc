// Fuzz target for the script parser: any bytes must parse without a crash, a hang or unbounded memory.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "client/script/script_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace orvane::script;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    ScriptReader reader(text);
    SymbolTable symbols;
    Program program;
    ParseErrors errors;
    int count = parse_script(reader, symbols, program, errors);
    if (count != errors.count()) __builtin_trap();
    // Every statement of the tree is reachable and well formed.
    for (const Statement* s = program.first(); s; s = s->next) {
        if (s->line < 1) __builtin_trap();
    }
    return 0;
}
