// Wildcard matching: star, question mark, character classes, backslash escape.
#pragma once

#include <string_view>

namespace orvane {

// True when the whole `text` matches the whole `pattern`, compared case-sensitively byte by byte:
//   "*"      any run of characters, the empty run included;
//   "?"      any one character;
//   "[...]"  one character in the class; "[!...]" one character not in it. The first member
//            (after "!") is a member even when it is "]"; a member followed by "-" and a further
//            character is an inclusive range (byte values, unsigned); the class ends at the next "]";
//   "\c"     the character c taken literally;
//   other    the character itself.
// A pattern that ends inside a class or with a lone "\" matches nothing.
// Both views are taken whole (a zero byte is an ordinary character). Time O(len(text) * len(pattern)).
bool wildcard_match(std::string_view text, std::string_view pattern);

}  // namespace orvane
