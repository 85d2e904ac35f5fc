// Script reader: line ends, continuation, byte classes, end of file and line numbers.
#include "client/script/script_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace orvane::script {
namespace {

// Every character the reader yields up to the end, with the line number at which it came.
std::vector<std::pair<char, int>> read_all_chars(std::string_view text) {
    ScriptReader reader(text);
    std::vector<std::pair<char, int>> out;
    for (int guard = 0; guard < 1000000; ++guard) {
        int c = reader.peek();
        if (c == ScriptReader::kEnd) break;
        out.emplace_back(static_cast<char>(c), reader.line());
        reader.advance();
    }
    return out;
}

std::string chars_of(std::string_view text) {
    std::string s;
    for (auto& [c, line] : read_all_chars(text)) s.push_back(c);
    return s;
}

TEST(ScriptReader, EveryLineEndBecomesOneLineFeed) {
    EXPECT_EQ(chars_of("a\r\nb\n\rc\rd\ne"), "a\nb\nc\nd\ne\n");
    // Two equal line-end bytes are two lines.
    EXPECT_EQ(chars_of("a\r\rb\n\nc"), "a\n\nb\n\nc\n");
    EXPECT_EQ(chars_of(""), "");
}

TEST(ScriptReader, LineNumbersCountEveryLine) {
    auto chars = read_all_chars("a\n\nb\r\nc");
    ASSERT_EQ(chars.size(), 7u);
    EXPECT_EQ(chars[0], std::make_pair('a', 1));
    EXPECT_EQ(chars[1], std::make_pair('\n', 1));
    EXPECT_EQ(chars[2], std::make_pair('\n', 2));
    EXPECT_EQ(chars[3], std::make_pair('b', 3));
    EXPECT_EQ(chars[5], std::make_pair('c', 4));
}

TEST(ScriptReader, TrailingBackslashJoinsTheNextLineWithABlank) {
    EXPECT_EQ(chars_of("print \"a\" \\\n\"b\";\n"), "print \"a\"  \"b\";\n");
    // Only the last character counts; the last line of a file continues into the end.
    EXPECT_EQ(chars_of("a\\b\nc\\"), "a\\b\nc ");
    auto chars = read_all_chars("x\\\ny");
    EXPECT_EQ(chars.back(), std::make_pair('\n', 2));
}

TEST(ScriptReader, HighBytesAreKeptAndDeleteEndsTheFile) {
    EXPECT_EQ(chars_of("a\x80\xff"
                       "b"),
              "a\x80\xff"
              "b\n");
    // UTF-8 passes through whole; a byte order mark opening the file is no text.
    EXPECT_EQ(chars_of("\xEF\xBB\xBFprint \"\xC3\x9C\";"), "print \"\xC3\x9C\";\n");
    EXPECT_EQ(chars_of("ab\x7f"
                       "cd\nef"),
              "ab");
    ScriptReader reader(std::string_view("\x7fzz"));
    EXPECT_EQ(reader.peek(), ScriptReader::kEnd);
    reader.advance();
    EXPECT_EQ(reader.peek(), ScriptReader::kEnd);
}

TEST(ScriptReader, LongLineIsOneLineWithoutInsertedLineEnds) {
    // Longer than the line buffer: the pieces join up again and count as one line.
    std::string text = std::string(20000, 'x') + "\\\ny";
    auto chars = read_all_chars(text);
    ASSERT_EQ(chars.size(), 20003u);
    for (size_t i = 0; i < 20000; ++i) ASSERT_EQ(chars[i], std::make_pair('x', 1)) << i;
    EXPECT_EQ(chars[20000], std::make_pair(' ', 1));  // the continuation still applies
    EXPECT_EQ(chars[20001], std::make_pair('y', 2));
    // Exactly the buffer's width, then a CR LF split across the source's reads.
    std::string edge = std::string(ScriptReader::kLineCapacity - 1, 'z') + "\r\nq";
    EXPECT_EQ(chars_of(edge), std::string(ScriptReader::kLineCapacity - 1, 'z') + "\nq\n");
}

TEST(ScriptReader, FailedReadEndsTheFileAndIsRemembered) {
    struct Source {
        int calls = 0;
    } state;
    ByteSource source{[](void* ctx, void* data, size_t) -> int64_t {
                          auto* s = static_cast<Source*>(ctx);
                          if (s->calls++ > 0) return -1;
                          static_cast<char*>(data)[0] = 'a';
                          return 1;
                      },
                      &state};
    ScriptReader reader(source);
    EXPECT_EQ(reader.peek(), 'a');
    reader.advance();
    EXPECT_EQ(reader.peek(), '\n');
    reader.advance();
    EXPECT_EQ(reader.peek(), ScriptReader::kEnd);
    EXPECT_TRUE(reader.read_failed());
}

}  // namespace
}  // namespace orvane::script
