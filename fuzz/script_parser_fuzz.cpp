// Fuzz target for the script parser and interpreter: any bytes must parse, and a script that parses
// must run (with the transfer session stubbed out: no network; no local effects) without a crash, a hang or
// unbounded memory.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "client/script/interpreter.h"
#include "client/script/script_parser.h"

namespace {

void mark_done(void* done) {
    *static_cast<bool*>(done) = true;
}

// Lists that scripts may iterate: a file and a folder.
void fill_list(orvane::script::Interpreter& interpreter, const orvane::script::SymbolTable& symbols,
               std::string_view name) {
    if (const orvane::script::Symbol* s = symbols.find(name))
        interpreter.values().list(*s).entries = {{"a.txt", "20240102030405", "12", false},
                                                 {"b", "20240102030406", "", true}};
}

}  // namespace

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
    if (count != 0) return 0;

    // No session in the context: statements that finish at once complete within the interpreter.
    ScriptContext context;
    context.local_effects = false;  // no files written, no programs started, no waits
    bool done = false;
    Interpreter interpreter(program, symbols.size(), context, ScriptDone{mark_done, &done});
    interpreter.set_statement_limit(500);
    fill_list(interpreter, symbols, "@l");
    fill_list(interpreter, symbols, "@list");
    interpreter.handle_message(InterpreterMessage::kStart, 0);
    // Nothing is left outstanding: every statement completed and the run ended.
    if (!done || interpreter.state() != InterpreterState::kEnded) __builtin_trap();
    return 0;
}
