// Conditions: each operand is a text and the number it stands for; `eq` and `ne` match wildcards
// both ways, `lt`..`ge` compare the texts byte by byte, `==`..`>=` the numbers as signed 32-bit values.
#include "client/script/script_condition.h"

#include <string>

#include "client/actions/wildcard.h"
#include "client/script/script_keywords.h"

namespace orvane::script {
namespace {

struct Operand {
    std::string text;
    int32_t number = 0;
};

bool is_operator(int kind) {
    return kind >= kKwEq && kind <= kKwNe;
}

void set_text(Operand& o, std::string_view text) {
    o.text.assign(text.substr(0, kVariableCapacity));
    o.number = static_cast<int32_t>(number_of_text(o.text));
}

void set_number(Operand& o, int64_t value) {
    o.text = std::to_string(value);
    o.number = static_cast<int32_t>(value);
}

bool compare(int op, const Operand& left, const Operand& right) {
    switch (op) {
        case kKwEq:
        case kKwNe: {
            bool match = wildcard_match(right.text, left.text) || wildcard_match(left.text, right.text);
            return op == kKwEq ? match : !match;
        }
        case kKwLt:
            return left.text < right.text;
        case kKwLe:
            return left.text <= right.text;
        case kKwGt:
            return left.text > right.text;
        case kKwGe:
            return left.text >= right.text;
        case kKwEqual:
            return left.number == right.number;
        case kKwNotEqual:
            return left.number != right.number;
        case kKwLess:
            return left.number < right.number;
        case kKwLessEqual:
            return left.number <= right.number;
        case kKwGreater:
            return left.number > right.number;
        case kKwGreaterEqual:
            return left.number >= right.number;
        default:
            return false;
    }
}

// Reads the operand that starts at `position` (already passed); None or the fault.
RuntimeMessage read_operand(const Parameter& p, const Parameters& parameters, size_t& position,
                            ScriptValues& values, const ScriptRegisters& registers, Operand& o, int line,
                            RuntimeReporter& reporter) {
    switch (p.kind) {
        case kTokenListName: {
            if (position >= parameters.size() || parameters[position].kind != kTokenDot)
                return RuntimeMessage::MemberMissing;
            if (++position >= parameters.size()) return RuntimeMessage::MemberInvalid;
            if (parameters[position++].kind != kKwCount) return RuntimeMessage::MemberInvalid;
            set_number(o, static_cast<int64_t>(values.list(*p.symbol).entries.size()));
            return RuntimeMessage::None;
        }
        case kTokenItemName: {
            if (position >= parameters.size() || parameters[position].kind != kTokenDot)
                return RuntimeMessage::MemberMissing;
            if (++position >= parameters.size()) return RuntimeMessage::MemberInvalid;
            int member = parameters[position++].kind;
            const ListEntry* entry = nullptr;
            RuntimeMessage m = values.current_entry(*p.symbol, entry);
            // An unbound item is reported once where it is looked up and once for the condition.
            if (m == RuntimeMessage::ObjectMissing) reporter.report(line, m);
            if (m != RuntimeMessage::None) return m;
            if (member == kKwName) {
                set_text(o, entry->name);
            } else if (member == kKwSize) {
                set_text(o, entry->size);
            } else if (member == kKwModtime) {
                set_text(o, entry->modification_time);
            } else if (member == kKwIsfolder) {
                set_number(o, entry->is_folder ? 1 : 0);
            } else {
                return RuntimeMessage::MemberInvalid;
            }
            return RuntimeMessage::None;
        }
        case kTokenStringVar:
            set_text(o, values.variable(*p.symbol));
            return RuntimeMessage::None;
        case kTokenNumber:
        case kTokenString: {
            std::string_view t = p.symbol->text;
            if (p.kind == kTokenString && t.size() >= 2) t = t.substr(1, t.size() - 2);
            set_text(o, t);
            return RuntimeMessage::None;
        }
        case kKwTrue:
            set_number(o, 1);
            return RuntimeMessage::None;
        case kKwFalse:
        case kKwSuccess:
            set_number(o, 0);
            return RuntimeMessage::None;
        case kKwFtpresult:
            set_number(o, registers.ftp);
            return RuntimeMessage::None;
        case kKwMailresult:
            set_number(o, registers.mail);
            return RuntimeMessage::None;
        case kKwFileresult:
            set_number(o, registers.file);
            return RuntimeMessage::None;
        default:
            return RuntimeMessage::IfParameterInvalid;
    }
}

}  // namespace

bool evaluate_condition(const Statement& statement, ScriptValues& values, const ScriptRegisters& registers,
                        RuntimeReporter& reporter) {
    const Parameters& parameters = statement.parameters;
    if (parameters.size() < 3 || parameters.size() > 7) {
        reporter.report(statement.line, RuntimeMessage::ParameterCount);
        return false;
    }
    Operand operands[2];
    int found = 0;
    int op = 0;
    size_t position = 0;
    while (position < parameters.size()) {
        const Parameter& p = parameters[position++];
        if (is_operator(p.kind)) {
            op = p.kind;  // the last one written wins
            continue;
        }
        // A third value replaces the right operand.
        Operand& o = operands[found < 2 ? found : 1];
        RuntimeMessage m =
            read_operand(p, parameters, position, values, registers, o, statement.line, reporter);
        if (m != RuntimeMessage::None) {
            reporter.report(statement.line, m);
            return false;
        }
        if (found < 2) ++found;
    }
    if (op == 0) {
        reporter.report(statement.line, RuntimeMessage::OperatorMissing);
        return false;
    }
    return compare(op, operands[0], operands[1]);
}

}  // namespace orvane::script
