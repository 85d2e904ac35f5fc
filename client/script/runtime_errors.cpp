// Runtime error texts and their output.
#include "client/script/runtime_errors.h"

#include <array>

#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"

namespace orvane::script {
namespace {

constexpr std::array<const char*, static_cast<size_t>(RuntimeMessage::Count_)> kTexts = {
    "",
    "Incorrect number of parameters",
    "Object member missing - object members are specified as \"object.member\"",
    "Object member is invalid",
    "Comparison operator (\"eq\" or \"ne\") missing in \"if\" statement",
    "The specified object does not exist for this scope",
    "User defined list changing while in use by \"foreach\" loop",
    "Parameter for \"if\" statement is invalid",
    "User Object cannot be used because it already exists in this scope",
    "Statement \"exitloop\" was encountered without a suitable loop",
    "Parameter must be a string, enclosed in double quotes",
    "Parameter must be a number",
    "Parameter must be one of the following keywords - \"local\", or \"remote\"",
    "Parameter must be a user specified listname - eg. @mylist",
    "Parameter must be a user specified listitemname - eg. $mylistitem",
    "The parameter supplied to the print/strprint macro is invalid",
    "The parameter must be a valid file or folder name",
    "Parameter must be one of the following keywords - \"file\", or \"folder\"",
    "Parameter must be one of the following keywords - \"ascii\", or \"binary\" or \"auto\"",
    "Parameter must be one of the following keywords - \"bysize\", or \"bydate\"",
    "Parameter must be one of the following keywords - \"resume\", or \"rename\" or \"overwrite\" or "
    "\"skip\"",
    "The parameter supplied to the strprint macro is invalid - the first parameter must be a string "
    "variable (eg. ~mystring)",
    "The parameter must be a valid string variable",
    "incr or decr keyword is required here",
    "A valid time unit must be specified (second, minute, hour, day, week, month, or year)",
    "left or right keyword is required here",
};
static_assert(static_cast<int>(RuntimeMessage::NeedLeftOrRight) == 25, "one text per message");

}  // namespace

const char* runtime_message_text(RuntimeMessage message) {
    size_t i = static_cast<size_t>(message);
    return i < kTexts.size() ? kTexts[i] : "";
}

void RuntimeReporter::report(int line, RuntimeMessage message) {
    report(line, std::string(runtime_message_text(message)));
}

void RuntimeReporter::report(int line, const std::string& text) {
    ++reported_;
    // The text may quote script values: one rule for control characters, whoever built it.
    output(escape_controls(format("Script Engine: Runtime Error on line %d - %s", line, text.c_str())),
           kLevelError);
}

}  // namespace orvane::script
