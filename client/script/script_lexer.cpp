// The script lexer: one token at a time, with a single character of look-ahead from the reader.
#include "client/script/script_lexer.h"

#include "client/script/script_chars.h"
#include "client/script/script_keywords.h"
#include "common/text.h"

namespace orvane::script {
namespace {

void append_bounded(Token& token, int c, size_t limit) {
    if (token.text.size() < limit) {
        token.text.push_back(static_cast<char>(c));
    } else {
        token.cut = true;
    }
}

}  // namespace

void ScriptLexer::skip_blanks_and_comments() {
    for (;;) {
        int c = reader_.peek();
        if (char_class(c) == CharClass::Blank) {
            reader_.advance();
        } else if (c == '#') {
            while (reader_.peek() != '\n' && reader_.peek() != ScriptReader::kEnd) reader_.advance();
        } else {
            return;
        }
    }
}

void ScriptLexer::read_word(Token& token) {
    while (continues_word(char_class(reader_.peek()))) {
        append_bounded(token, reader_.peek(), kMaxText);
        reader_.advance();
    }
    switch (token.text[0]) {
        case '@':
            token.kind = kTokenListName;
            break;
        case '$':
            token.kind = kTokenItemName;
            break;
        case '~':
            token.kind = kTokenStringVar;
            break;
        default: {
            int code = keyword_code(token.text);
            token.kind = code != 0 ? code : kTokenWord;
        }
    }
}

void ScriptLexer::read_operators(Token& token) {
    while (char_class(reader_.peek()) == CharClass::Operator) {
        append_bounded(token, reader_.peek(), kMaxText);
        reader_.advance();
    }
    int code = keyword_code(token.text);
    token.kind = code != 0 ? code : kTokenWord;
}

void ScriptLexer::read_number(Token& token) {
    size_t digits = 0;
    while (char_class(reader_.peek()) == CharClass::Digit) {
        append_bounded(token, reader_.peek(), kMaxText);
        reader_.advance();
        ++digits;
    }
    token.kind = kTokenNumber;
    if (digits > kMaxNumberDigits) {
        token.error = LexError::NumberTooLarge;
        return;
    }
    // Ten digits can exceed 32 bits; such a value saturates like any other text read as a number.
    token.number = static_cast<uint32_t>(parse_decimal_prefix_saturating(token.text, UINT32_MAX));
}

void ScriptLexer::read_string(Token& token) {
    // Room for the text between the quotes, so that a cut string still ends with its quote.
    const size_t inner_limit = kMaxText - 1;
    token.kind = kTokenString;
    token.text.push_back('"');
    reader_.advance();
    for (;;) {
        int c = reader_.peek();
        if (c == ScriptReader::kEnd) {
            token.error = LexError::EndInString;
            return;
        }
        reader_.advance();
        if (c == '"') break;
        if (c == '\\') {
            c = reader_.peek();
            if (c == ScriptReader::kEnd) {
                token.error = LexError::EndInString;
                return;
            }
            reader_.advance();
        }
        if (c == '\n') c = ' ';
        append_bounded(token, c, inner_limit);
    }
    token.text.push_back('"');
}

void ScriptLexer::read_invalid(Token& token) {
    token.kind = kTokenInvalid;
    while (char_class(reader_.peek()) == CharClass::Other) {
        append_bounded(token, reader_.peek(), kMaxText);
        reader_.advance();
    }
}

void ScriptLexer::next(Token& token) {
    token.kind = kTokenEnd;
    token.text.clear();
    token.number = 0;
    token.error = LexError::None;
    token.cut = false;
    skip_blanks_and_comments();
    token.line = reader_.line();
    int c = reader_.peek();
    CharClass k = char_class(c);
    if (starts_word(k)) return read_word(token);
    switch (k) {
        case CharClass::Digit:
            return read_number(token);
        case CharClass::Operator:
            return read_operators(token);
        case CharClass::Quote:
            return read_string(token);
        case CharClass::Punctuation:
            token.text.push_back(static_cast<char>(c));
            reader_.advance();
            switch (c) {
                case '(':
                    token.kind = kTokenOpenParen;
                    break;
                case ')':
                    token.kind = kTokenCloseParen;
                    break;
                case '.':
                    token.kind = kTokenDot;
                    break;
                case ',':
                    token.kind = kTokenComma;
                    break;
                default:
                    token.kind = kTokenSemicolon;
                    break;
            }
            return;
        case CharClass::End:
            token.kind = kTokenEnd;
            return;
        default:
            return read_invalid(token);
    }
}

}  // namespace orvane::script
