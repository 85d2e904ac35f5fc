// Script lexer: token kinds, keywords, numbers, strings, comments and the token buffer's limit.
#include "client/script/script_lexer.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "client/script/script_keywords.h"

namespace orvane::script {
namespace {

std::vector<Token> lex(std::string_view text) {
    ScriptReader reader(text);
    ScriptLexer lexer(reader);
    std::vector<Token> tokens;
    for (int guard = 0; guard < 100000; ++guard) {
        Token t;
        lexer.next(t);
        if (t.kind == kTokenEnd) break;
        tokens.push_back(t);
        if (t.error == LexError::EndInString) break;
    }
    return tokens;
}

std::vector<int> kinds(std::string_view text) {
    std::vector<int> out;
    for (const Token& t : lex(text)) out.push_back(t.kind);
    return out;
}

TEST(ScriptLexer, KeywordTableIsExactAndComplete) {
    std::set<std::string> seen;
    for (int code = kFirstKeyword; code <= kLastKeyword; ++code) {
        const char* name = keyword_name(code);
        ASSERT_NE(name, nullptr) << code;
        EXPECT_TRUE(seen.insert(name).second) << name;
        EXPECT_EQ(keyword_code(name), code) << name;
    }
    EXPECT_EQ(seen.size(), 118u);
    EXPECT_EQ(keyword_name(12), nullptr);
    EXPECT_EQ(keyword_name(131), nullptr);
    EXPECT_EQ(keyword_code("ftpdownload"), 129);
    EXPECT_EQ(keyword_code("setparallel"), 130);
    EXPECT_EQ(keyword_code("exitloop"), 71);
    EXPECT_EQ(keyword_code("Print"), 0);
}

TEST(ScriptLexer, WordsSigilsAndKeywords) {
    EXPECT_EQ(kinds("print @list $item ~str _x a$b IF If if"),
              (std::vector<int>{kMacroPrint, kTokenListName, kTokenItemName, kTokenStringVar, kTokenWord,
                                kTokenWord, kTokenWord, kTokenWord, kKwIf}));
    auto tokens = lex("$item.name ~v$2");
    ASSERT_EQ(tokens.size(), 4u);
    EXPECT_EQ(tokens[0].text, "$item");
    EXPECT_EQ(tokens[1].kind, kTokenDot);
    EXPECT_EQ(tokens[2].kind, kKwName);
    EXPECT_EQ(tokens[3].text, "~v$2");  // a sigil inside a word does not split it
}

TEST(ScriptLexer, OperatorRunsAndPunctuation) {
    EXPECT_EQ(kinds("== != < <= > >= = =! <>"),
              (std::vector<int>{kKwEqual, kKwNotEqual, kKwLess, kKwLessEqual, kKwGreater, kKwGreaterEqual,
                                kTokenWord, kTokenWord, kTokenWord}));
    EXPECT_EQ(kinds("(),.;"),
              (std::vector<int>{kTokenOpenParen, kTokenCloseParen, kTokenComma, kTokenDot, kTokenSemicolon}));
    auto tokens = lex("a %&* b");
    ASSERT_EQ(tokens.size(), 3u);
    EXPECT_EQ(tokens[1].kind, kTokenInvalid);
    EXPECT_EQ(tokens[1].text, "%&*");
}

TEST(ScriptLexer, CommentsRunToTheLineEnd) {
    auto tokens = lex("a # b c ;\nd#e\n# f");
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[0].text, "a");
    EXPECT_EQ(tokens[1].text, "d");
    EXPECT_EQ(tokens[1].line, 2);
}

TEST(ScriptLexer, NumbersUpToTenDigits) {
    auto tokens = lex("0042 2147483648 4294967295 9999999999 12345678901 7x");
    ASSERT_EQ(tokens.size(), 7u);
    EXPECT_EQ(tokens[0].text, "0042");
    EXPECT_EQ(tokens[0].number, 42u);
    EXPECT_EQ(tokens[1].number, 2147483648u);  // kept unsigned
    EXPECT_EQ(tokens[2].number, 4294967295u);
    EXPECT_EQ(tokens[3].number, 4294967295u);  // beyond 32 bits: saturated
    EXPECT_EQ(tokens[3].error, LexError::None);
    EXPECT_EQ(tokens[4].error, LexError::NumberTooLarge);
    EXPECT_EQ(tokens[5].kind, kTokenNumber);
    EXPECT_EQ(tokens[6].kind, kTokenWord);
}

TEST(ScriptLexer, StringsKeepQuotesAndResolveEscapes) {
    auto tokens = lex(R"("a\"b" "c\\d" "e\xf" "")");
    ASSERT_EQ(tokens.size(), 4u);
    EXPECT_EQ(tokens[0].kind, kTokenString);
    EXPECT_EQ(tokens[0].text, "\"a\"b\"");
    EXPECT_EQ(tokens[1].text, "\"c\\d\"");
    EXPECT_EQ(tokens[2].text, "\"exf\"");
    EXPECT_EQ(tokens[3].text, "\"\"");
    // A line end inside a string is a blank; a high byte is part of the text.
    tokens = lex("\"one\ntwo\x90\" x");
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[0].text, "\"one two\x90\"");
    EXPECT_EQ(tokens[0].line, 1);
    EXPECT_EQ(tokens[1].line, 2);
}

TEST(ScriptLexer, StringRunningToTheEndIsAFault) {
    for (const char* text : {"\"abc", "\"abc\\", "\"ab\x7f\"cd\""}) {
        auto tokens = lex(text);
        ASSERT_EQ(tokens.size(), 1u) << text;
        EXPECT_EQ(tokens[0].error, LexError::EndInString) << text;
    }
}

TEST(ScriptLexer, LongTokensAreCutAndConsumedWhole) {
    std::string word(300, 'w');
    auto tokens = lex(word + " next");
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[0].text, std::string(263, 'w'));
    EXPECT_EQ(tokens[1].text, "next");

    std::string inner(400, 's');
    tokens = lex("\"" + inner + "\" next");
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[0].text.size(), 263u);
    EXPECT_EQ(tokens[0].text, "\"" + std::string(261, 's') + "\"");
    EXPECT_TRUE(tokens[0].cut);
    EXPECT_EQ(tokens[1].text, "next");
    EXPECT_FALSE(tokens[1].cut);

    // A string that fits exactly is not cut.
    tokens = lex("\"" + std::string(261, 'k') + "\"");
    EXPECT_EQ(tokens[0].text.size(), 263u);
    EXPECT_EQ(tokens[0].text[261], 'k');
}

}  // namespace
}  // namespace orvane::script
