// Safe local names from server names, and the escaped form of server text.
#include "common/safe_name.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(SafeName, OneComponentWithoutControlCharacters) {
    const struct {
        std::string name;
        bool safe;
    } cases[] = {
        {"report.txt", true},
        {"my file (2).txt", true},
        {"..hidden", true},
        {"caf\xc3\xa9", true},
        {"tab\there", false},
        {"", false},
        {".", false},
        {"..", false},
        {"a/b", false},
        {"..\\..\\x", false},
        {"\\tmp\\x", false},
        {"/etc/passwd", false},
        {std::string("nul\0x", 5), false},
        {"esc\x1b[2J", false},
        {"bell\a", false},
        {"back\bspace", false},
        {"del\x7f", false},
        {"c1\xc2\x9b", false},
        {"line\nend", false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_safe_name(c.name), c.safe) << escape_controls(c.name);
}

TEST(SafeName, EscapedForm) {
    const struct {
        std::string text;
        bool keep_line_ends;
        std::string shown;
    } cases[] = {
        {"plain text", false, "plain text"},
        {"a\tb", false, "a\tb"},
        {"\x1b]0;title\a", false, "\\x1b]0;title\\x07"},
        {"x\b\x7f\x01", false, "x\\x08\\x7f\\x01"},
        {"one\r\ntwo\n", false, "one\\x0d\\x0atwo\\x0a"},
        {"one\r\ntwo\n", true, "one\r\ntwo\n"},
        {"over\rwrite", true, "over\\x0dwrite"},
        {"ends\r", true, "ends\r"},
        {"caf\xc3\xa9 \xc2\x9b", false, "caf\xc3\xa9 \\xc2\\x9b"},
        {"\xc2", false, "\xc2"},
        {std::string("a\0b", 3), false, "a\\x00b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(escape_controls(c.text, c.keep_line_ends), c.shown) << c.shown;
        // Escaping twice changes nothing more: a message may pass through twice.
        EXPECT_EQ(escape_controls(escape_controls(c.text, c.keep_line_ends), c.keep_line_ends), c.shown);
    }
}

}  // namespace
}  // namespace orvane
