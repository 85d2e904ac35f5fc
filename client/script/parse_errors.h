// Parse errors: the messages and their collection in file order.
#pragma once

#include <string>
#include <vector>

namespace orvane::script {

enum class ParseMessage : int {
    NumberTooLarge,
    UnexpectedEnd,
    SyntaxError,
    MissingSemicolon,
    LoopSyntax,
    BeginWithoutEnd,
    BeginMissing,
    ForeachSyntax,
    ParameterCount,
    Count_,
};

// The message text ("%s" part of the parse error line).
const char* parse_message_text(ParseMessage message);

class ParseErrors {
  public:
    // Appends "Script Engine: Parse Error on line %d - %s".
    void add(int line, ParseMessage message);
    int count() const { return static_cast<int>(messages_.size()); }
    const std::vector<std::string>& messages() const { return messages_; }

  private:
    std::vector<std::string> messages_;
};

}  // namespace orvane::script
