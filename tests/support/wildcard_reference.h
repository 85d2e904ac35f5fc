// The designed wildcard matcher transcribed directly (the recursive star search), as the oracle
// for the fast matcher in client/actions/wildcard.cpp. Header-only: used by the unit tests and by the
// fuzz target. With a memo, each (text position, pattern position) is solved once, which keeps the
// same answers in O(len(text) * len(pattern)) time; without one it is the literal recursion,
// exponential in the number of stars.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace orvane::test {

class WildcardReference {
  public:
    // memo: remember the answer of every (text position, pattern position).
    // step_budget: give up (result false, exhausted() true) after this many calls; 0: no limit.
    explicit WildcardReference(bool memo = true, uint64_t step_budget = 0)
        : use_memo_(memo), budget_(step_budget) {}

    bool match(std::string_view text, std::string_view pattern) {
        text_ = text;
        pattern_ = pattern;
        steps_ = 0;
        exhausted_ = false;
        memo_.assign(use_memo_ ? (text.size() + 1) * (pattern.size() + 1) : 0, kUnknown);
        return at(0, 0);
    }
    uint64_t steps() const { return steps_; }
    bool exhausted() const { return exhausted_; }

  private:
    static constexpr int8_t kUnknown = -1;

    bool at(size_t t, size_t p) {
        if (exhausted_) return false;
        if (budget_ && ++steps_ > budget_) {
            exhausted_ = true;
            return false;
        }
        if (!budget_) ++steps_;
        if (!use_memo_) return step(t, p);
        int8_t& slot = memo_[t * (pattern_.size() + 1) + p];
        if (slot == kUnknown) slot = step(t, p) ? 1 : 0;
        return slot == 1;
    }

    // One step of the recursive algorithm, rules 1 to 6.
    bool step(size_t t, size_t p) {
        const size_t n = text_.size();
        const size_t m = pattern_.size();
        if (p == m) return t == n;  // rule 1
        switch (pattern_[p]) {
            case '?':  // rule 2
                return t < n && at(t + 1, p + 1);
            case '*':  // rule 3
                if (p + 1 == m) return true;
                // Memoised: "from t, or else from t + 1 onwards" is the same loop, written so that
                // each state costs O(1) and the whole match O(len(text) * len(pattern)).
                if (use_memo_) return at(t, p + 1) || (t < n && at(t + 1, p));
                for (size_t k = t; k <= n; ++k)
                    if (at(k, p + 1)) return true;
                return false;
            case '[': {  // rule 4
                size_t q = p + 1;
                bool negated = false;
                if (q < m && pattern_[q] == '!') {
                    negated = true;
                    ++q;
                }
                bool in = false;
                bool first = true;
                for (;;) {
                    if (q >= m) return false;  // ends inside the class
                    if (pattern_[q] == ']' && !first) break;
                    auto lo = static_cast<unsigned char>(pattern_[q]);
                    auto hi = lo;
                    if (q + 1 < m && pattern_[q + 1] == '-' && q + 2 < m) {
                        hi = static_cast<unsigned char>(pattern_[q + 2]);
                        q += 3;
                    } else {
                        q += 1;
                    }
                    if (t < n) {
                        auto c = static_cast<unsigned char>(text_[t]);
                        if (lo <= c && c <= hi) in = true;
                    }
                    first = false;
                }
                if (t == n) return false;  // never at the end of the text
                return in != negated && at(t + 1, q + 1);
            }
            case '\\':  // rule 5
                if (p + 1 == m) return false;
                return t < n && text_[t] == pattern_[p + 1] && at(t + 1, p + 2);
            default:  // rule 6
                return t < n && text_[t] == pattern_[p] && at(t + 1, p + 1);
        }
    }

    bool use_memo_;
    uint64_t budget_;
    uint64_t steps_ = 0;
    bool exhausted_ = false;
    std::string_view text_;
    std::string_view pattern_;
    std::vector<int8_t> memo_;
};

}  // namespace orvane::test
