// Shell words and the end-of-loop rule.
#include "client/frontend/shell_words.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

using V = std::vector<std::string>;

TEST(ShellWords, BlanksSeparateAndATrailingBlankAddsAnEmptyWord) {
    EXPECT_EQ(split_shell_words(""), V{});
    EXPECT_EQ(split_shell_words("   "), V{});
    EXPECT_EQ(split_shell_words("get  a   b"), (V{"get", "a", "b"}));
    EXPECT_EQ(split_shell_words("  get a"), (V{"get", "a"}));
    EXPECT_EQ(split_shell_words("get a "), (V{"get", "a", ""}));
    EXPECT_EQ(split_shell_words("get a   "), (V{"get", "a", ""}));
}

TEST(ShellWords, DoubleQuotesGroupBlanks) {
    EXPECT_EQ(split_shell_words("get \"my file.txt\""), (V{"get", "my file.txt"}));
    EXPECT_EQ(split_shell_words("get \"a  b\" \"c d\""), (V{"get", "a  b", "c d"}));
    EXPECT_EQ(split_shell_words("get dir/\"a b\".txt x"), (V{"get", "dir/a b.txt", "x"}));
    EXPECT_EQ(split_shell_words("get \"\" x"), (V{"get", "", "x"}));
    EXPECT_EQ(split_shell_words("get \"open end "), (V{"get", "open end "}));
    EXPECT_EQ(split_shell_words("get \"a\" "), (V{"get", "a", ""}));
}

TEST(ShellWords, EndLines) {
    for (const char* l : {"bye", "QUIT", "exit", "Exiting now", "byebye", "quit!"})
        EXPECT_TRUE(is_shell_end_line(l)) << l;
    for (const char* l : {" quit", "by", "qui", "get quit", ""}) EXPECT_FALSE(is_shell_end_line(l)) << l;
}

}  // namespace
}  // namespace orvane
