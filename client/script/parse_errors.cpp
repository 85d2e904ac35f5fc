// Parse error texts and the error list.
#include "client/script/parse_errors.h"

#include <array>

#include "common/limits.h"
#include "common/text.h"

namespace orvane::script {
namespace {

constexpr std::array<const char*, static_cast<size_t>(ParseMessage::Count_)> kTexts = {
    "Number is too large",
    "Unexpected end of file",
    "Syntax error",
    "Macro statements must end with a semicolon",
    "Syntax error in \"loop\" statement",
    "A \"begin\" keyword must have an accompanying \"end\" keyword",
    "A required \"begin\" keyword is missing",
    "Syntax error in \"foreach\" statement",
    "Incorrect number of parameters",
};
static_assert(kTexts.size() == 9 && static_cast<int>(ParseMessage::ParameterCount) == 8);

}  // namespace

const char* parse_message_text(ParseMessage message) {
    size_t i = static_cast<size_t>(message);
    return i < kTexts.size() ? kTexts[i] : "Syntax error";
}

void ParseErrors::add(int line, ParseMessage message) {
    messages_.push_back(
        cut(format("Script Engine: Parse Error on line %d - %s", line, parse_message_text(message)),
            kWideTextCapacity));
}

}  // namespace orvane::script
