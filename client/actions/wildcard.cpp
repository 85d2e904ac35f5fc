// Wildcard matching: the two-pointer method with backtracking to the last star.
//
// The obvious matcher is a recursive search that tries the rest of the pattern at every position after
// each star, which takes time exponential in the number of stars. Every element other than a star
// consumes exactly one character, so when the pattern after a star fails, only the latest star needs
// to give up one more character: an earlier star could only shift the same rest further right, and
// the latest star can already reach every such position. The answers are the same (checked against
// a direct transcription of the recursion in tests/ and fuzz/), in O(len(text) * len(pattern)) time.
#include "client/actions/wildcard.h"

#include <cstddef>

namespace orvane {
namespace {

constexpr size_t kNoMatch = static_cast<size_t>(-1);
constexpr size_t kMalformed = static_cast<size_t>(-2);

// The class that opens at pattern[p] ("[") against character c: the index after the class when it
// matches, kNoMatch when it does not, kMalformed when the pattern ends inside the class.
size_t match_class(std::string_view pattern, size_t p, unsigned char c) {
    const size_t m = pattern.size();
    size_t q = p + 1;
    bool negated = false;
    if (q < m && pattern[q] == '!') {
        negated = true;
        ++q;
    }
    bool member = false;
    for (bool first = true;; first = false) {
        if (q >= m) return kMalformed;
        if (pattern[q] == ']' && !first) break;
        unsigned char lo = static_cast<unsigned char>(pattern[q]);
        unsigned char hi = lo;
        if (q + 2 < m && pattern[q + 1] == '-') {
            hi = static_cast<unsigned char>(pattern[q + 2]);
            q += 3;
        } else {
            q += 1;
        }
        if (lo <= c && c <= hi) member = true;
    }
    return member != negated ? q + 1 : kNoMatch;
}

// The element (not a star) at pattern[p] against text character c: the index after the element when
// it matches, kNoMatch or kMalformed otherwise.
size_t match_element(std::string_view pattern, size_t p, char c) {
    switch (pattern[p]) {
        case '?':
            return p + 1;
        case '[':
            return match_class(pattern, p, static_cast<unsigned char>(c));
        case '\\':
            if (p + 1 >= pattern.size()) return kMalformed;
            return pattern[p + 1] == c ? p + 2 : kNoMatch;
        default:
            return pattern[p] == c ? p + 1 : kNoMatch;
    }
}

}  // namespace

bool wildcard_match(std::string_view text, std::string_view pattern) {
    const size_t n = text.size();
    const size_t m = pattern.size();
    size_t t = 0;
    size_t p = 0;
    // The latest star: the pattern index after it, and the text index where its run ends now.
    size_t star_p = kNoMatch;
    size_t star_t = 0;
    for (;;) {
        if (p < m && pattern[p] == '*') {
            while (p < m && pattern[p] == '*') ++p;
            if (p == m) return true;  // a final star takes the rest of the text
            star_p = p;
            star_t = t;
            continue;
        }
        if (p == m) {
            if (t == n) return true;
        } else if (t < n) {
            size_t next = match_element(pattern, p, text[t]);
            // A malformed element lies on every path to the end of the pattern: nothing matches.
            if (next == kMalformed) return false;
            if (next != kNoMatch) {
                p = next;
                ++t;
                continue;
            }
        }
        // Mismatch: let the latest star take one more character and retry the rest after it.
        if (star_p == kNoMatch || star_t >= n) return false;
        t = ++star_t;
        p = star_p;
    }
}

}  // namespace orvane
