// The pattern-matching actions: results and the error lines they write.
#include "client/actions/pattern_actions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"

namespace orvane {
namespace {

struct Captured {
    std::vector<std::string> lines;
};

void capture(void* ctx, const char* text, int level, int /*line_end*/) {
    static_cast<Captured*>(ctx)->lines.push_back(std::to_string(level) + " " + text);
}

class PatternActions : public ::testing::Test {
  protected:
    void SetUp() override { set_output_sink(capture, &cap); }
    void TearDown() override { set_output_sink(nullptr, nullptr); }
    Captured cap;
};

TEST_F(PatternActions, WildcardOptionILowerCasesBoth) {
    EXPECT_EQ(wildcard_match_action("README.TXT", "*.txt", "i"), 0);
    EXPECT_EQ(wildcard_match_action("README.TXT", "*.txt", ""), 1);
    EXPECT_EQ(wildcard_match_action("readme.txt", "*.TXT", "gix"), 0);
    EXPECT_EQ(wildcard_match_action("README.TXT", "*.TXT", ""), 0);
    EXPECT_EQ(wildcard_match_action("abc", "a*b", ""), 1);
    EXPECT_TRUE(cap.lines.empty());
}

TEST_F(PatternActions, RegexMatchAnywhere) {
    EXPECT_EQ(regex_match_action("xxabcxx", "b.", ""), 0);
    EXPECT_EQ(regex_match_action("XXABCXX", "b.", ""), 1);
    EXPECT_EQ(regex_match_action("XXABCXX", "b.", "i"), 0);
    EXPECT_EQ(regex_match_action("", "", ""), 0);
    EXPECT_TRUE(cap.lines.empty());
}

TEST_F(PatternActions, RegexMatchCompileErrorLine) {
    EXPECT_EQ(regex_match_action("abc", "(abc", ""), 1);
    ASSERT_EQ(cap.lines.size(), 1u);
    EXPECT_EQ(cap.lines[0],
              "103 ERROR: Regular expression error at character 4: missing closing parenthesis");
}

TEST_F(PatternActions, ReplaceIntoTheVariable) {
    std::string v = "baac";
    EXPECT_EQ(regex_replace_action(v, "a*", "-", "g"), 0);
    EXPECT_EQ(v, "-b--c-");
    v = "abc";
    EXPECT_EQ(regex_replace_action(v, "b", "$1", ""), 0);
    EXPECT_EQ(v, "ac");
    v = "abc";
    EXPECT_EQ(regex_replace_action(v, "b", "<$>", ""), 0);
    EXPECT_EQ(v, "a<b>c");
    v = "no match";
    EXPECT_EQ(regex_replace_action(v, "z", "-", "g"), 0);
    EXPECT_EQ(v, "no match");
    EXPECT_TRUE(cap.lines.empty());
}

TEST_F(PatternActions, ReplaceCompileErrorLeavesTheVariable) {
    std::string v = "abc";
    EXPECT_EQ(regex_replace_action(v, "(b", "-", "g"), 1);
    EXPECT_EQ(v, "abc");
    ASSERT_EQ(cap.lines.size(), 1u);
    EXPECT_EQ(cap.lines[0],
              "103 ERROR: Regular expression error at character 2: missing closing parenthesis");
}

TEST_F(PatternActions, ReplaceOverflowAtThe390thCharacter) {
    std::string v(388, 'a');
    EXPECT_EQ(regex_replace_action(v, "$", "b", ""), 0);
    EXPECT_EQ(v.size(), 389u);
    EXPECT_TRUE(cap.lines.empty());

    v = std::string(389, 'a');
    EXPECT_EQ(regex_replace_action(v, "$", "b", ""), 1);
    EXPECT_EQ(v, std::string(389, 'a'));  // the incomplete result
    ASSERT_EQ(cap.lines.size(), 1u);
    EXPECT_EQ(cap.lines[0], "103 ERROR: Could not replace regular expression pattern");

    cap.lines.clear();
    v = std::string(200, 'a');
    EXPECT_EQ(regex_replace_action(v, "a", "bb", "g"), 1);
    EXPECT_EQ(v, std::string(389, 'b'));
    EXPECT_EQ(cap.lines, std::vector<std::string>{"103 ERROR: Could not replace regular expression pattern"});
}

}  // namespace
}  // namespace orvane
