// The wildcard matcher: the documented cases, the class and escape details, agreement with the direct
// transcription of the recursive star search (exhaustive on small inputs, randomised on larger ones), and
// the many-stars case that makes the recursion exponential.
#include "client/actions/wildcard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

#include "tests/support/wildcard_reference.h"

namespace orvane {
namespace {

using test::WildcardReference;

TEST(Wildcard, LoneStarMatchesEverythingAndEmptyPatternOnlyEmpty) {
    EXPECT_TRUE(wildcard_match("", "*"));
    EXPECT_TRUE(wildcard_match("anything at all", "*"));
    EXPECT_TRUE(wildcard_match("", ""));
    EXPECT_FALSE(wildcard_match("a", ""));
}

TEST(Wildcard, StarBetweenLiterals) {
    EXPECT_TRUE(wildcard_match("ab", "a*b"));
    EXPECT_TRUE(wildcard_match("aXXb", "a*b"));
    EXPECT_FALSE(wildcard_match("abc", "a*b"));
    EXPECT_TRUE(wildcard_match("abcb", "a*b"));
    EXPECT_TRUE(wildcard_match("abc", "a**c"));
}

TEST(Wildcard, QuestionMarkTakesExactlyOne) {
    EXPECT_TRUE(wildcard_match("abc", "a?c"));
    EXPECT_FALSE(wildcard_match("ac", "a?c"));
    EXPECT_FALSE(wildcard_match("ab", "ab?"));
    EXPECT_TRUE(wildcard_match("ab", "?*"));
    EXPECT_FALSE(wildcard_match("", "?*"));
}

TEST(Wildcard, NegatedRangeClass) {
    EXPECT_TRUE(wildcard_match("dx", "[!a-c]x"));
    EXPECT_FALSE(wildcard_match("bx", "[!a-c]x"));
    EXPECT_TRUE(wildcard_match("bx", "[a-c]x"));
    EXPECT_FALSE(wildcard_match("dx", "[a-c]x"));
    EXPECT_TRUE(wildcard_match("q", "[xa-cq]"));
    EXPECT_FALSE(wildcard_match("b", "[c-a]"));  // a reversed range holds nothing
}

TEST(Wildcard, ClosingBracketAsFirstMember) {
    EXPECT_TRUE(wildcard_match("]", "[]]"));
    EXPECT_TRUE(wildcard_match("a", "[]a]"));
    EXPECT_FALSE(wildcard_match("b", "[]a]"));
    EXPECT_TRUE(wildcard_match("b", "[!]]"));
    EXPECT_FALSE(wildcard_match("]", "[!]]"));
}

TEST(Wildcard, HyphenRules) {
    EXPECT_TRUE(wildcard_match("-", "[-a]"));     // a leading hyphen is a member
    EXPECT_TRUE(wildcard_match("-", "[a-c-e]"));  // a hyphen after a range is a member
    EXPECT_TRUE(wildcard_match("_", "[]-a]"));    // "]" as first member starts a range
    EXPECT_FALSE(wildcard_match("a", "[a-]]"));   // the range a to "]" is empty
    EXPECT_FALSE(wildcard_match("]", "[a-]]"));
    EXPECT_FALSE(wildcard_match("a", "[a-]"));  // "-]" makes a range; the class is then unterminated
    EXPECT_FALSE(wildcard_match("-", "[a-]"));
}

TEST(Wildcard, ClassFailsAtEndOfTextAndWhenUnterminated) {
    EXPECT_FALSE(wildcard_match("", "[a]"));
    EXPECT_FALSE(wildcard_match("a", "[a"));
    EXPECT_FALSE(wildcard_match("a", "*[a"));
    EXPECT_FALSE(wildcard_match("]", "[]"));
    EXPECT_FALSE(wildcard_match("b", "[!]"));
}

TEST(Wildcard, BackslashEscapes) {
    EXPECT_TRUE(wildcard_match("*", "\\*"));
    EXPECT_FALSE(wildcard_match("a", "\\*"));
    EXPECT_FALSE(wildcard_match("", "\\*"));
    EXPECT_FALSE(wildcard_match("**", "\\*"));
    EXPECT_TRUE(wildcard_match("a?", "a\\?"));
    EXPECT_FALSE(wildcard_match("ab", "a\\?"));
    EXPECT_FALSE(wildcard_match("a\\", "a\\"));  // a pattern ending in a backslash fails
    EXPECT_FALSE(wildcard_match("a", "a*\\"));
}

TEST(Wildcard, CaseSensitive) {
    EXPECT_FALSE(wildcard_match("README.TXT", "*.txt"));
    EXPECT_TRUE(wildcard_match("readme.txt", "*.txt"));
}

TEST(Wildcard, HighBytesCompareUnsigned) {
    EXPECT_TRUE(wildcard_match("\xe9", "[a-\xff]"));
    EXPECT_FALSE(wildcard_match("\x10", "[a-\xff]"));
}

// Every text over {a, b, ]} up to length 4 against every pattern over the wildcard alphabet up to
// length 5: the fast matcher agrees with the literal recursion.
TEST(Wildcard, AgreesWithLiteralRecursionExhaustively) {
    const std::string text_alphabet = "ab]";
    const std::string pattern_alphabet = "ab*?[]!-\\";
    std::vector<std::string> texts{""};
    for (size_t i = 0; i < texts.size(); ++i)
        if (texts[i].size() < 4)
            for (char c : text_alphabet) texts.push_back(texts[i] + c);
    std::vector<std::string> patterns{""};
    for (size_t i = 0; i < patterns.size(); ++i)
        if (patterns[i].size() < 5)
            for (char c : pattern_alphabet) patterns.push_back(patterns[i] + c);
    WildcardReference literal(false);
    size_t checked = 0;
    for (const auto& p : patterns)
        for (const auto& t : texts) {
            ASSERT_EQ(wildcard_match(t, p), literal.match(t, p))
                << "text '" << t << "' pattern '" << p << "'";
            ++checked;
        }
    EXPECT_GT(checked, 2000000u);
}

std::string random_string(std::mt19937& rng, const std::string& alphabet, size_t max_len) {
    std::uniform_int_distribution<size_t> len(0, max_len);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::string s(len(rng), ' ');
    for (char& c : s) c = alphabet[pick(rng)];
    return s;
}

// Longer random inputs, where stars abound: the fast matcher agrees with the memoised recursion, and
// with the literal recursion whenever that finishes within its budget.
TEST(Wildcard, AgreesWithReferenceOnRandomInputs) {
    std::mt19937 rng(20240605);
    WildcardReference memo(true);
    WildcardReference literal(false, 200000);
    const std::string text_alphabet = "abc]-!*\\[";
    const std::string pattern_alphabet = "abc**??[]!-\\";
    int literal_checked = 0;
    for (int i = 0; i < 100000; ++i) {
        std::string t = random_string(rng, text_alphabet, 24);
        std::string p = random_string(rng, pattern_alphabet, 16);
        if (i % 3 == 0) p = t.substr(0, t.size() / 2) + "*" + t.substr(t.size() / 2);  // likely matches
        bool fast = wildcard_match(t, p);
        ASSERT_EQ(fast, memo.match(t, p)) << "text '" << t << "' pattern '" << p << "'";
        bool slow = literal.match(t, p);
        if (!literal.exhausted()) {
            ASSERT_EQ(fast, slow) << "text '" << t << "' pattern '" << p << "'";
            ++literal_checked;
        }
    }
    EXPECT_GT(literal_checked, 90000);
}

// Many stars and a final miss against a 390-character text: the literal recursion explores an
// exponential number of splits; the fast matcher gives the same answer at once.
TEST(Wildcard, ManyStarsFinalMissIsFast) {
    const std::string text(390, 'a');
    std::string pattern;
    for (int i = 0; i < 40; ++i) pattern += "*a";
    pattern += "*b";

    WildcardReference literal(false, 50000000);
    EXPECT_FALSE(literal.match(text, pattern));
    EXPECT_TRUE(literal.exhausted()) << "the literal recursion should blow up here";

    auto begin = std::chrono::steady_clock::now();
    bool fast = false;
    for (int i = 0; i < 100; ++i) fast = fast || wildcard_match(text, pattern);
    auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_FALSE(fast);
    EXPECT_LT(elapsed, std::chrono::seconds(2));

    WildcardReference memo(true);
    EXPECT_FALSE(memo.match(text, pattern));
    EXPECT_FALSE(memo.exhausted());

    // The same shape with a final hit, and a long pattern of stars and question marks.
    std::string hit = text + "b";
    EXPECT_TRUE(wildcard_match(hit, pattern));
    EXPECT_TRUE(memo.match(hit, pattern));
    std::string mixed;
    for (int i = 0; i < 195; ++i) mixed += "*?";
    EXPECT_EQ(wildcard_match(text, mixed), memo.match(text, mixed));
    EXPECT_FALSE(wildcard_match(std::string(194, 'a'), mixed));
    EXPECT_TRUE(wildcard_match(std::string(195, 'a'), mixed));
}

}  // namespace
}  // namespace orvane
