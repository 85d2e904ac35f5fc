// The macro table: one row per macro with its parameter forms, its action and its result register.
// Actions of later features are added as rows' functions; the interpreter knows none of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/script/program_tree.h"
#include "client/script/script_context.h"
#include "client/script/script_values.h"

namespace orvane::script {

class Interpreter;

// Where the interpreter files a macro's result.
enum class ResultRegister : int {
    kNone,
    kFtp,
    kMail,
};

// Parameter forms, one letter each in a row's form text:
//   T text           N number          V string variable   L list name
//   W remote/local   K file/folder     Y ascii/binary/auto C bysize/bydate
//   R skip/overwrite/resume/rename     S left/right        D incr/decr
//   U a time unit    M a file mode (any token; a keyword other than read or append means write)
//   X the string variable of strprint (its own message)
//   P print values: every remaining parameter, resolved by the action (faulty ones are skipped)
inline constexpr size_t kMaxArguments = 8;

// What a parameter is to its macro, one letter per form in a row's role text; every rule about a
// value's marks and its display is decided by these in one place:
//   p names something: a local or remote path, a file name, a host, an address, a command or a
//     program; a cut value is refused, since the first part of a name is another name
//   s a secret: traced as "(not displayed)", and refused when cut
//   c a raw command for a server: a name, traced as "(not displayed)" when it carries a password
//   t text: a cut value is used, with a warning
//   - anything else (numbers, keywords, variables and lists)
enum ParameterRole : char {
    kRoleName = 'p',
    kRoleSecret = 's',
    kRoleCommand = 'c',
    kRoleText = 't',
    kRoleOther = '-',
};

// One resolved parameter.
struct Argument {
    bool present = false;
    std::string text;                   // T (at most kParameterTextCapacity characters)
    uint32_t number = 0;                // N
    std::string* variable = nullptr;    // V, X
    uint8_t* variable_marks = nullptr;  // V, X: the ValueMark bits of what the variable holds
    UserList* list = nullptr;           // L
    int keyword = 0;                    // keyword forms: the keyword's code
    uint8_t marks = 0;                  // T: ValueMark bits
    size_t first_token = 0;             // the parameter tokens it was read from: [first, end)
    size_t end_token = 0;
};

// Stores a text in the argument's variable with the marks of what it was made from (kMarkCut
// added when the variable cannot hold it all).
void assign_to(const Argument& a, std::string_view text, uint8_t marks = 0);

struct Arguments {
    std::array<Argument, kMaxArguments> items;
    size_t count = 0;       // forms resolved
    size_t next_token = 0;  // the parameter position after them (where P values begin)
    Argument& operator[](size_t i) { return items[i]; }
};

// What an action works with. It must lead to exactly one completion of the statement: at once
// through Interpreter::complete(), or later through a request whose done callback is
// Interpreter::request_done.
struct MacroCall {
    Interpreter& interpreter;
    ScriptContext& context;
    ScriptValues& values;
    const Statement& statement;
    Arguments& arguments;
};
using MacroAction = void (*)(MacroCall& call);

struct MacroRow {
    int code = 0;
    const char* name = "";   // as in the keyword table
    const char* forms = "";  // one letter per parameter
    const char* roles = "";  // one ParameterRole per form
    uint8_t required = 0;    // the forms before this index must be present
    MacroAction action = nullptr;
    ResultRegister result_register = ResultRegister::kNone;
    bool traced = true;  // false: no trace line
};

// The role of the row's form `i` (kRoleOther past its roles).
ParameterRole parameter_role(const MacroRow& row, size_t i);
// True when a parameter of the row is a secret.
bool has_secret(const MacroRow& row);

// The row of a macro code (71..130); null for anything else.
const MacroRow* macro_row(int code);

// Resolves the statement's parameters by the row's forms. Returns None or the first fault.
RuntimeMessage resolve_arguments(const MacroRow& row, const Statement& statement, ScriptValues& values,
                                 Arguments& arguments);

// The judgement of resolved values by their roles: a refusal (the statement fails and nothing is
// done) when a name or secret was cut, else a warning when a text was cut; both empty when every
// value may be used as it is.
struct ValueVerdict {
    std::string refusal;
    std::string warning;
};
ValueVerdict judge_values(const MacroRow& row, const Arguments& arguments);

// "Script Engine: Line %d: Executing %s" and, with parameters, ". Parameter(s):" and each token
// as written; the tokens of a secret parameter as "(not displayed)".
std::string trace_line(const MacroRow& row, const Statement& statement, const Arguments& arguments);

}  // namespace orvane::script
