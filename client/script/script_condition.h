// The condition of an `if`: its two operands, its operator, and the comparison.
#pragma once

#include "client/script/program_tree.h"
#include "client/script/runtime_errors.h"
#include "client/script/script_values.h"

namespace orvane::script {

// The results that scripts check: 0 after success, non-zero after failure, 1 before any statement
// has set them.
struct ScriptRegisters {
    int ftp = 1;
    int mail = 1;
    int file = 1;
};

// Evaluates the condition of the `if` statement. Faults are reported as runtime errors on the
// statement's line; a faulty condition is false.
bool evaluate_condition(const Statement& statement, ScriptValues& values, const ScriptRegisters& registers,
                        RuntimeReporter& reporter);

}  // namespace orvane::script
