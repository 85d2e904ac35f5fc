// The regular-expression layer: option letters, compile errors, matches and groups, replacement
// with group references, the bounded result and the empty-match rules of global replacement
// (compared with PCRE2's own substitute, which follows the same rules).
#include "client/actions/regex.h"

#include <gtest/gtest.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <random>
#include <string>
#include <vector>

namespace orvane {
namespace {

std::string replaced(std::string_view subject, std::string_view pattern, std::string_view replacement,
                     std::string_view options, int* result = nullptr) {
    Regex re;
    std::string error;
    EXPECT_EQ(re.compile(pattern, options, &error), 0) << error;
    std::string out;
    int r = re.replace(subject, replacement, &out);
    if (result)
        *result = r;
    else
        EXPECT_EQ(r, 0);
    return out;
}

TEST(Regex, GlobalStarReplacementFollowsTheEmptyMatchRules) {
    EXPECT_EQ(replaced("baac", "a*", "-", "g"), "-b--c-");
    EXPECT_EQ(replaced("baac", "a*", "-", ""), "-baac");
    EXPECT_EQ(replaced("abc", "", "-", "g"), "-a-b-c-");
    EXPECT_EQ(replaced("", "", "-", "g"), "-");
    EXPECT_EQ(replaced("", "x", "-", "g"), "");
    EXPECT_EQ(replaced("aaa", "a", "b", "g"), "bbb");
    EXPECT_EQ(replaced("aaa", "a", "b", ""), "baa");
    EXPECT_EQ(replaced("abab", "(?=b)|b", "-", "g"), "a--a--");
}

TEST(Regex, GroupReferences) {
    EXPECT_EQ(replaced("abc", "b", "<$>", ""), "a<b>c");  // a lone "$" is the whole match
    EXPECT_EQ(replaced("abc", "b", "<$0>", ""), "a<b>c");
    EXPECT_EQ(replaced("abc", "b", "[$1]", ""), "a[]c");  // no group 1: nothing
    EXPECT_EQ(replaced("abc", "(b)", "[$1$1]", ""), "a[bb]c");
    EXPECT_EQ(replaced("abc", "(b)", "[$10]", ""), "a[]c");  // group 10, not group 1 and "0"
    EXPECT_EQ(replaced("abc", "(b)", "[$01]", ""), "a[b]c");
    EXPECT_EQ(replaced("abc", "(b)", "[$000000001]", ""), "a[b1]c");  // at most 8 digits
    EXPECT_EQ(replaced("abc", "(b)", "$$", ""), "abbc");              // no escape for "$"
    EXPECT_EQ(replaced("ac", "a(x)?(c)", "[$1|$2]", ""), "[|c]");     // an unset group: nothing
    EXPECT_EQ(replaced("a", "a(x)?", "[$1]", ""), "[]");              // beyond the groups set: nothing
    EXPECT_EQ(replaced("k=v; x=y", "(\\w)=(\\w)", "$2=$1", "g"), "v=k; y=x");
}

TEST(Regex, OptionLetters) {
    EXPECT_EQ(replaced("ABab", "a", "-", "gi"), "-B-b");
    EXPECT_EQ(replaced("ABab", "a", "-", "ig"), "-B-b");
    EXPECT_EQ(replaced("ABab", "a", "-", "xgyz"), "AB-b");  // other letters are ignored
    EXPECT_EQ(replaced("ABab", "a", "-", "GI"), "AB-b");    // the letters are lowercase
    EXPECT_EQ(replaced("ABab", "a", "-", "i"), "-Bab");
}

TEST(Regex, ResultIsBoundedTo389Characters) {
    int r = -1;
    EXPECT_EQ(replaced(std::string(388, 'a'), "$", "b", "", &r), std::string(388, 'a') + "b");
    EXPECT_EQ(r, 0);
    std::string out = replaced(std::string(389, 'a'), "$", "b", "", &r);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(out, std::string(389, 'a'));              // the pieces that fitted
    replaced(std::string(390, 'a'), "x", "b", "", &r);  // the unmatched rest does not fit either
    EXPECT_EQ(r, 1);
    out = replaced("ab", "b", std::string(400, 'r'), "", &r);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(out, "a" + std::string(388, 'r'));

    Regex re;
    ASSERT_EQ(re.compile("a", "g", nullptr), 0);
    std::string small;
    EXPECT_EQ(re.replace("aaaa", "xy", &small, 7), 1);
    EXPECT_EQ(small, "xyxyxyx");
    EXPECT_EQ(re.replace("aaaa", "xy", &small, 8), 0);
    EXPECT_EQ(small, "xyxyxyxy");
}

TEST(Regex, CompileErrorCarriesOffsetAndLibraryMessage) {
    Regex re;
    std::string error;
    EXPECT_EQ(re.compile("(abc", "", &error), 1);
    EXPECT_EQ(error, "Regular expression error at character 4: missing closing parenthesis");
    EXPECT_FALSE(re.compiled());
    EXPECT_EQ(re.compile("a[b", "", &error), 1);
    EXPECT_EQ(error, "Regular expression error at character 3: missing terminating ] for character class");
    EXPECT_EQ(re.compile("ok", "", &error), 0);
    EXPECT_TRUE(re.compiled());
    EXPECT_EQ(re.compile("*", "g", &error), 1);  // the previous pattern is released first
    EXPECT_FALSE(re.compiled());
    EXPECT_FALSE(re.global());
    EXPECT_EQ(error, "Regular expression error at character 0: quantifier does not follow a repeatable item");
}

TEST(Regex, MatchReturnsGroupsSet) {
    Regex re;
    ASSERT_EQ(re.compile("SSH-([0-9]+)[.]([0-9]+)-([^ $]+)[ ]?([^$]+)?", "i", nullptr), 0);
    std::string line = "ssh-2.0-OpenSSH_8.9p1 Ubuntu-3ubuntu0.1";
    EXPECT_EQ(re.match(line), 5);
    line.clear();  // the record keeps its own copy of the subject
    EXPECT_EQ(re.group(0).value(), "ssh-2.0-OpenSSH_8.9p1 Ubuntu-3ubuntu0.1");
    EXPECT_EQ(re.group(1).value(), "2");
    EXPECT_EQ(re.group(2).value(), "0");
    EXPECT_EQ(re.group(3).value(), "OpenSSH_8.9p1");
    EXPECT_EQ(re.group(4).value(), "Ubuntu-3ubuntu0.1");
    EXPECT_FALSE(re.group(5));
    EXPECT_FALSE(re.group(-1));

    EXPECT_EQ(re.match("SSH-1.99-srv"), 4);  // no comments: group 4 not set
    EXPECT_EQ(re.group(3).value(), "srv");
    EXPECT_FALSE(re.group(4));

    EXPECT_EQ(re.match("HTTP/1.0 200"), -1);
    EXPECT_FALSE(re.group(0));

    ASSERT_EQ(re.compile("b", "", nullptr), 0);
    EXPECT_EQ(re.match("abc"), 1);  // anywhere in the subject
    EXPECT_LT(re.match("ABC"), 0);  // case-sensitive without "i"
}

TEST(Regex, NothingCompiled) {
    Regex re;
    EXPECT_LT(re.match("abc"), 0);
    std::string out;
    EXPECT_EQ(re.replace("abc", "x", &out), 0);
    EXPECT_EQ(out, "abc");
    ASSERT_EQ(re.compile("b", "", nullptr), 0);
    re.release();
    EXPECT_FALSE(re.compiled());
    EXPECT_LT(re.match("abc"), 0);
}

TEST(Regex, MovesKeepTheCompiledPattern) {
    Regex a;
    ASSERT_EQ(a.compile("b+", "g", nullptr), 0);
    Regex b(std::move(a));
    std::string out;
    EXPECT_EQ(b.replace("abbcb", "-", &out), 0);
    EXPECT_EQ(out, "a-c-");
    Regex c;
    c = std::move(b);
    EXPECT_EQ(c.match("xbx"), 1);
}

// PCRE2's substitute, with the same empty-match rules, as the oracle for replacements whose "$" is
// always followed by one digit and a non-digit (where both read the reference the same way).
std::string pcre2_reference(const std::string& subject, const std::string& pattern,
                            const std::string& replacement, bool caseless, bool global) {
    int code = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* re = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()), pattern.size(),
                                   caseless ? PCRE2_CASELESS : 0, &code, &offset, nullptr);
    EXPECT_NE(re, nullptr) << pattern;
    if (!re) return {};
    std::vector<PCRE2_UCHAR> buffer(1 << 16);
    PCRE2_SIZE length = buffer.size();
    uint32_t options = PCRE2_SUBSTITUTE_UNKNOWN_UNSET | PCRE2_SUBSTITUTE_UNSET_EMPTY;
    if (global) options |= PCRE2_SUBSTITUTE_GLOBAL;
    int rc = pcre2_substitute(re, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, options,
                              nullptr, nullptr, reinterpret_cast<PCRE2_SPTR>(replacement.data()),
                              replacement.size(), buffer.data(), &length);
    pcre2_code_free(re);
    EXPECT_GE(rc, 0) << pattern;
    return std::string(reinterpret_cast<char*>(buffer.data()), length);
}

TEST(Regex, ReplacementAgreesWithPcre2SubstituteOnRandomSubjects) {
    const std::vector<std::string> patterns = {
        "a*",   "a",      "",        "x*",      "\\b",    "(?=a)",    "^",    "$",
        "a|",   "(a)|b",  "(a)(b)?", "a*?",     "(?<=a)", "b+",       ".",    "(a|)",
        "\\s*", "a{0,2}", "[^a]*",   "(?=b)|b", "\\B",    "(a)|(b)|", "ab|a", "\\Ka",
    };
    const std::vector<std::string> replacements = {"-", "", "<$0>", "[$1]", "$2$1.", "xy"};
    const std::string alphabet = "abAB x\n";
    std::mt19937 rng(5);
    std::uniform_int_distribution<size_t> len(0, 12);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    for (int i = 0; i < 20000; ++i) {
        std::string subject(len(rng), ' ');
        for (char& c : subject) c = alphabet[pick(rng)];
        const std::string& pattern = patterns[i % patterns.size()];
        const std::string& replacement = replacements[(i / patterns.size()) % replacements.size()];
        const bool global = i % 2 == 0;
        const bool caseless = i % 3 == 0;
        std::string options = std::string(global ? "g" : "") + (caseless ? "i" : "");
        Regex re;
        ASSERT_EQ(re.compile(pattern, options, nullptr), 0);
        std::string out;
        ASSERT_EQ(re.replace(subject, replacement, &out, 1 << 16), 0);
        ASSERT_EQ(out, pcre2_reference(subject, pattern, replacement, caseless, global))
            << "subject '" << subject << "' pattern '" << pattern << "' replacement '" << replacement
            << "' options '" << options << "'";
    }
}

}  // namespace
}  // namespace orvane
