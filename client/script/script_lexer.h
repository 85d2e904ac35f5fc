// The script lexer: turns the reader's characters into tokens (words, keywords, numbers, strings).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "client/script/script_reader.h"

namespace orvane::script {

// Faults found while forming a token; the parser turns them into parse errors.
enum class LexError : int {
    None,
    NumberTooLarge,  // more than 10 digits
    EndInString,     // the file ended inside a string literal
};

struct Token {
    int kind = 0;         // TokenKind or keyword code
    std::string text;     // as written: sigils kept, a string with both quotes (at most kMaxText)
    uint32_t number = 0;  // the value of a number token
    int line = 0;         // the line on which the token began
    LexError error = LexError::None;
    bool cut = false;  // characters were dropped at kMaxText
};

class ScriptLexer {
  public:
    // The token buffer holds 264 bytes with its terminator: longer tokens are cut to 263 characters
    // and the rest of the token is consumed with it (a string keeps its closing quote).
    static constexpr size_t kTokenBuffer = 264;
    static constexpr size_t kMaxText = kTokenBuffer - 1;
    static constexpr size_t kMaxNumberDigits = 10;

    explicit ScriptLexer(ScriptReader& reader) : reader_(reader) {}

    // Reads the next token into `token`; at the end of the file its kind is kTokenEnd.
    void next(Token& token);
    int line() const { return reader_.line(); }

  private:
    void skip_blanks_and_comments();
    void read_word(Token& token);
    void read_operators(Token& token);
    void read_number(Token& token);
    void read_string(Token& token);
    void read_invalid(Token& token);

    ScriptReader& reader_;
};

}  // namespace orvane::script
