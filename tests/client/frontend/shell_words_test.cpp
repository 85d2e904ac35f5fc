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
    EXPECT_EQ(split_shell_words("put \"a b\""), (V{"put", "\"a", "b\""}));  // no quoting
}

TEST(ShellWords, EndLines) {
    for (const char* l : {"bye", "QUIT", "exit", "Exiting now", "byebye", "quit!"})
        EXPECT_TRUE(is_shell_end_line(l)) << l;
    for (const char* l : {" quit", "by", "qui", "get quit", ""}) EXPECT_FALSE(is_shell_end_line(l)) << l;
}

}  // namespace
}  // namespace orvane
