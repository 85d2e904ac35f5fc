// Character classes of the script lexer. Bytes of 128 and above (UTF-8 sequences) are text: kept in
// strings, and outside them nothing the language knows.
#pragma once

namespace orvane::script {

enum class CharClass : int {
    Letter,
    Digit,
    Operator,     // = ! < >
    Blank,        // NUL, TAB, LF, CR, space
    Quote,        // "
    Punctuation,  // ( ) . , ; #
    End,          // the byte 127
    ListSigil,    // @
    ItemSigil,    // $
    StringSigil,  // ~
    Underscore,
    Other,
};

constexpr CharClass char_class(int c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return CharClass::Letter;
    if (c >= '0' && c <= '9') return CharClass::Digit;
    switch (c) {
        case '=':
        case '!':
        case '<':
        case '>':
            return CharClass::Operator;
        case 0:
        case '\t':
        case '\n':
        case '\r':
        case ' ':
            return CharClass::Blank;
        case '"':
            return CharClass::Quote;
        case '(':
        case ')':
        case '.':
        case ',':
        case ';':
        case '#':
            return CharClass::Punctuation;
        case 127:
            return CharClass::End;
        case '@':
            return CharClass::ListSigil;
        case '$':
            return CharClass::ItemSigil;
        case '~':
            return CharClass::StringSigil;
        case '_':
            return CharClass::Underscore;
        default:
            return CharClass::Other;
    }
}

// A word starts with a letter, a sigil or an underscore and goes on with digits too.
constexpr bool starts_word(CharClass k) {
    return k == CharClass::Letter || k == CharClass::ListSigil || k == CharClass::ItemSigil ||
           k == CharClass::StringSigil || k == CharClass::Underscore;
}
constexpr bool continues_word(CharClass k) {
    return starts_word(k) || k == CharClass::Digit;
}

}  // namespace orvane::script
