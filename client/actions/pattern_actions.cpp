// The pattern-matching actions of the script macros.
#include "client/actions/pattern_actions.h"

#include "client/actions/regex.h"
#include "client/actions/wildcard.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"

namespace orvane {

int wildcard_match_action(std::string_view text, std::string_view pattern, std::string_view options) {
    bool matched = options.find('i') != std::string_view::npos
                       ? wildcard_match(to_lower(text), to_lower(pattern))
                       : wildcard_match(text, pattern);
    return matched ? 0 : 1;
}

namespace {

int compile_or_report(Regex& regex, std::string_view pattern, std::string_view options) {
    std::string error;
    if (regex.compile(pattern, options, &error) == 0) return 0;
    outputf(kLevelError, "ERROR: %s", escape_controls(error).c_str());
    return 1;
}

}  // namespace

int regex_match_action(std::string_view subject, std::string_view pattern, std::string_view options) {
    Regex regex;
    if (compile_or_report(regex, pattern, options) != 0) return 1;
    return regex.match(subject) > 0 ? 0 : 1;
}

int regex_replace_action(std::string& variable, std::string_view pattern, std::string_view replacement,
                         std::string_view options) {
    Regex regex;
    if (compile_or_report(regex, pattern, options) != 0) return 1;
    const std::string subject = variable;
    if (regex.replace(subject, replacement, &variable, Regex::kReplaceCapacity) != 0) {
        output("ERROR: Could not replace regular expression pattern", kLevelError);
        return 1;
    }
    return 0;
}

}  // namespace orvane
