// The language macros: printing, string variables, counters and the exit code. Each finishes at
// once and completes through the interpreter.
#include "client/script/interpreter.h"
#include "client/script/macro_actions.h"
#include "client/script/script_keywords.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"

namespace orvane::script {
namespace {

// A printed line is cut here: a script of many long values cannot grow it without end.
constexpr size_t kPrintCapacity = 64 * 1024;

// Joins the print values from `position` on; faulty ones are reported and skipped. True when all
// were good. A line cut at its capacity is used, with one warning saying so.
bool join_print_values(MacroCall& call, size_t position, size_t capacity, std::string& line,
                       uint8_t* marks = nullptr) {
    const Parameters& parameters = call.statement.parameters;
    bool good = true;
    bool cut_short = false;
    while (position < parameters.size()) {
        RuntimeMessage m = append_print_value(call.values, parameters, position, line, marks);
        if (m != RuntimeMessage::None) {
            call.interpreter.report(m);
            good = false;
        }
        if (line.size() > capacity) {
            line.resize(capacity);
            cut_short = true;
        }
    }
    if (cut_short && marks) *marks |= kMarkCut;  // never a path or a name then
    if (cut_short)
        output(
            format("Script Engine: Line %d: Warning: %s: the text is longer than %zu characters and was cut",
                   call.statement.line, call.statement.kind == kMacroPrint ? "print" : "strprint", capacity),
            kLevelWarning);
    return good;
}

}  // namespace

void action_print(MacroCall& call) {
    std::string line;
    bool good = join_print_values(call, 0, kPrintCapacity, line);
    output(escape_controls(line), kLevelData);
    call.interpreter.complete(good ? 0 : 1);
}

void action_strprint(MacroCall& call) {
    std::string joined;
    uint8_t marks = 0;
    bool good = join_print_values(call, call.arguments.next_token, kVariableCapacity, joined, &marks);
    assign_to(call.arguments[0], joined, marks);
    call.interpreter.complete(good ? 0 : 1);
}

void action_strlower(MacroCall& call) {
    for (char& c : *call.arguments[0].variable)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    call.interpreter.complete(0);
}

void action_strupper(MacroCall& call) {
    for (char& c : *call.arguments[0].variable)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    call.interpreter.complete(0);
}

void action_strslice(MacroCall& call) {
    std::string& v = *call.arguments[0].variable;
    bool left = call.arguments[1].keyword == kKwLeft;
    size_t start = call.arguments[2].number;
    size_t length = call.arguments[3].number;
    if (v.size() < start) {
        v.clear();
    } else {
        v = left ? v.substr(start) : v.substr(0, v.size() - start);
        if (length > 0 && length < v.size()) v = left ? v.substr(0, length) : v.substr(v.size() - length);
    }
    call.interpreter.complete(0);
}

void action_setvar(MacroCall& call) {
    assign_to(call.arguments[0], call.arguments[1].text, call.arguments[1].marks);
    call.interpreter.complete(0);
}

// Counters are unsigned 32-bit: they wrap around at both ends.
void action_increment(MacroCall& call) {
    std::string& v = *call.arguments[0].variable;
    v = std::to_string(static_cast<uint32_t>(number_of_text(v) + 1u));
    call.interpreter.complete(0);
}

void action_decrement(MacroCall& call) {
    std::string& v = *call.arguments[0].variable;
    v = std::to_string(static_cast<uint32_t>(number_of_text(v) - 1u));
    call.interpreter.complete(0);
}

void action_setexitcode(MacroCall& call) {
    call.interpreter.set_exit_code(call.arguments[0].number);
    call.interpreter.complete(0);
}

// Rescheduling needs a saved session of the schedule to act on; a script run on its own has none,
// so the statement fails with the reason.
void action_reschedscript(MacroCall& call) {
    call.interpreter.report("reschedscript() may only be used with saved sessions");
    call.interpreter.complete(1);
}

}  // namespace orvane::script
