// Script parser: program tree shapes, error messages with their lines, recovery, parameter counts.
#include "client/script/script_parser.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "client/script/script_keywords.h"

namespace orvane::script {
namespace {

struct Parsed {
    SymbolTable symbols;
    Program program;
    ParseErrors errors;
    std::vector<std::string> messages() const { return errors.messages(); }
};

std::unique_ptr<Parsed> parse(std::string_view text) {
    auto p = std::make_unique<Parsed>();
    ScriptReader reader(text);
    int count = parse_script(reader, p->symbols, p->program, p->errors);
    EXPECT_EQ(count, p->errors.count());
    return p;
}

std::string error_line(int line, const char* text) {
    return "Script Engine: Parse Error on line " + std::to_string(line) + " - " + text;
}

std::vector<int> kinds_of(const Statement* s) {
    std::vector<int> out;
    for (; s; s = s->next) out.push_back(s->kind);
    return out;
}

std::vector<int> parameter_kinds(const Statement* s) {
    std::vector<int> out;
    for (const Parameter& p : s->parameters) out.push_back(p.kind);
    return out;
}

TEST(ScriptParser, ParenthesesAndCommasAreSkippedAnywhere) {
    auto a = parse("print(\"x\", ~v);");
    auto b = parse("print \"x\" ~v;");
    auto c = parse("print ,(\"x\"))(,~v ,;");
    for (auto* p : {a.get(), b.get(), c.get()}) {
        ASSERT_EQ(p->errors.count(), 0) << p->messages()[0];
        const Statement* s = p->program.first();
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->kind, kMacroPrint);
        EXPECT_EQ(parameter_kinds(s), (std::vector<int>{kTokenString, kTokenStringVar}));
        EXPECT_EQ(s->parameters[0].symbol->text, "\"x\"");
        EXPECT_EQ(s->parameters[1].symbol->text, "~v");
        EXPECT_EQ(s->next, nullptr);
    }
}

TEST(ScriptParser, StatementsKeepTheirLinesParametersAndSharedSymbols) {
    auto p = parse(
        "\n# setup\nsetvar ~name \"a\";\nftpupload file\n   $item.name \"x\";\nsetduperules bysize skip "
        "overwrite resume \"a\";\nwaitsecs 0042;\n");
    ASSERT_EQ(p->errors.count(), 0) << p->messages()[0];
    const Statement* s = p->program.first();
    EXPECT_EQ(kinds_of(s),
              (std::vector<int>{kMacroSetvar, kMacroFtpupload, kMacroSetduperules, kMacroWaitsecs}));
    EXPECT_EQ(s->line, 3);
    const Statement* up = s->next;
    EXPECT_EQ(up->line, 4);
    EXPECT_EQ(parameter_kinds(up),
              (std::vector<int>{kKwFile, kTokenItemName, kTokenDot, kKwName, kTokenString}));
    EXPECT_EQ(up->parameters[0].symbol, nullptr);
    // The same text is one symbol; symbols are numbered by first appearance.
    const Statement* dupe = up->next;
    EXPECT_EQ(dupe->parameters[4].symbol, s->parameters[1].symbol);
    EXPECT_EQ(s->parameters[0].symbol->serial, 0);
    EXPECT_EQ(s->parameters[1].symbol->serial, 1);
    EXPECT_EQ(p->symbols.size(), 5u);  // ~name "a" $item "x" 0042
    EXPECT_EQ(dupe->next->parameters[0].number, 42u);
    EXPECT_EQ(dupe->next->parameters[0].symbol->text, "0042");
}

TEST(ScriptParser, BlocksNestWithTheirBodies) {
    auto p = parse(
        "loop 3 begin\n"
        "  foreach $i in @files begin\n"
        "    if $i.size > 10 begin print \"big\"; end else begin exitloop; end\n"
        "  end\n"
        "  if ftpresult eq success begin end\n"
        "end\n"
        "endscript;\n");
    ASSERT_EQ(p->errors.count(), 0) << p->messages()[0];
    const Statement* loop = p->program.first();
    EXPECT_EQ(kinds_of(loop), (std::vector<int>{kKwLoop, kMacroEndscript}));
    EXPECT_EQ(parameter_kinds(loop), (std::vector<int>{kTokenNumber}));
    EXPECT_EQ(loop->parameters[0].number, 3u);
    EXPECT_EQ(kinds_of(loop->body), (std::vector<int>{kKwForeach, kKwIf}));
    const Statement* each = loop->body;
    EXPECT_EQ(each->line, 2);
    EXPECT_EQ(parameter_kinds(each), (std::vector<int>{kTokenItemName, kTokenListName}));
    const Statement* inner_if = each->body;
    EXPECT_EQ(inner_if->line, 3);
    EXPECT_EQ(parameter_kinds(inner_if),
              (std::vector<int>{kTokenItemName, kTokenDot, kKwSize, kKwGreater, kTokenNumber}));
    EXPECT_TRUE(inner_if->has_else);
    EXPECT_EQ(kinds_of(inner_if->body), (std::vector<int>{kMacroPrint}));
    EXPECT_EQ(kinds_of(inner_if->else_body), (std::vector<int>{kMacroExitloop}));
    const Statement* empty_if = each->next;
    EXPECT_FALSE(empty_if->has_else);
    EXPECT_EQ(empty_if->body, nullptr);
    EXPECT_EQ(parameter_kinds(empty_if), (std::vector<int>{kKwFtpresult, kKwEq, kKwSuccess}));
}

TEST(ScriptParser, ThreeFaultyStatementsGiveThreeMessagesInFileOrder) {
    auto p = parse(
        "print \"ok\";\n"
        "bogus \"x\";\n"
        "print \"ok\";\n"
        "ftpupload file;\n"
        "print 12345678901;\n"
        "print \"end\";\n");
    EXPECT_EQ(p->messages(), (std::vector<std::string>{error_line(2, "Syntax error"),
                                                       error_line(4, "Incorrect number of parameters"),
                                                       error_line(5, "Number is too large")}));
    EXPECT_EQ(p->errors.count(), 3);
}

TEST(ScriptParser, ParameterlessMacrosAndTheirSemicolon) {
    auto ok = parse("endscript;\nendscript();\nexitloop(\n);\nftpdisconnect ( ) ;");
    EXPECT_EQ(ok->errors.count(), 0);
    EXPECT_EQ(kinds_of(ok->program.first()),
              (std::vector<int>{kMacroEndscript, kMacroEndscript, kMacroExitloop, kMacroFtpdisconnect}));

    // The fault is found at the next statement's token, so it carries that line; the next
    // statement itself parses.
    auto p = parse("endscript(\nprint \"x\";\n");
    EXPECT_EQ(p->messages(),
              (std::vector<std::string>{error_line(2, "Macro statements must end with a semicolon")}));
    EXPECT_EQ(kinds_of(p->program.first()), (std::vector<int>{kMacroPrint}));

    auto args = parse("endscript \"x\";");
    EXPECT_EQ(args->messages(),
              (std::vector<std::string>{error_line(1, "Macro statements must end with a semicolon")}));
}

TEST(ScriptParser, MissingSemicolonResumesAtTheNextMacro) {
    auto p = parse("print \"a\"\nprint \"b\";\n");
    EXPECT_EQ(p->messages(), (std::vector<std::string>{error_line(2, "Syntax error")}));
    ASSERT_EQ(kinds_of(p->program.first()), (std::vector<int>{kMacroPrint}));
    EXPECT_EQ(p->program.first()->parameters[0].symbol->text, "\"b\"");
}

TEST(ScriptParser, KeywordsAreLowercaseOnly) {
    auto p = parse("IF ftpresult eq success begin end\nPrint \"x\";\n");
    // Recovery skips to the next statement start, which is none here: one message.
    EXPECT_EQ(p->messages(), (std::vector<std::string>{error_line(1, "Syntax error")}));
    EXPECT_EQ(p->program.first(), nullptr);
}

TEST(ScriptParser, UnterminatedStringEndsTheParse) {
    auto p = parse("print \"a\";\nprint \"open;\nbogus;\nloop x begin\n");
    EXPECT_EQ(p->messages(), (std::vector<std::string>{error_line(4, "Unexpected end of file")}));
    // Also when it starts inside an open block: no message about the block follows.
    auto q = parse("loop 2 begin\nprint \"x");
    EXPECT_EQ(q->messages(), (std::vector<std::string>{error_line(2, "Unexpected end of file")}));
}

TEST(ScriptParser, TokensThatMayNotStandInParametersOrConditions) {
    auto p = parse(
        "print ftpresult;\n"            // a result keyword is no macro parameter
        "print \"a\" == ;\n"            // nor an operator
        "if \"a\" eq file begin end\n"  // a plain keyword is no condition token
        "if ~a eq ~b ; begin end\n"     // nor a semicolon
        "print %;\n");                  // invalid characters
    EXPECT_EQ(p->messages(),
              (std::vector<std::string>{error_line(1, "Syntax error"), error_line(2, "Syntax error"),
                                        error_line(3, "Syntax error"), error_line(4, "Syntax error"),
                                        error_line(5, "Syntax error")}));
}

TEST(ScriptParser, LoopAndForeachHeaders) {
    auto p = parse(
        "loop ~n begin end\n"
        "loop 2 print \"x\";\n"
        "foreach $i of @l begin end\n"
        "foreach \"x\" in @l begin end\n"
        "foreach $i in @l print \"x\";\n"
        "loop 12345678901 begin end\n");
    EXPECT_EQ(p->messages(),
              (std::vector<std::string>{error_line(1, "Syntax error in \"loop\" statement"),
                                        error_line(2, "A required \"begin\" keyword is missing"),
                                        error_line(3, "Syntax error in \"foreach\" statement"),
                                        error_line(4, "Syntax error in \"foreach\" statement"),
                                        error_line(5, "A required \"begin\" keyword is missing"),
                                        error_line(6, "Number is too large")}));
    // The statement a recovery stops at is parsed.
    EXPECT_EQ(kinds_of(p->program.first()), (std::vector<int>{kMacroPrint, kMacroPrint}));
}

TEST(ScriptParser, ElseNeedsItsBegin) {
    auto p = parse("if true begin end else print \"x\";\n");
    EXPECT_EQ(p->messages(),
              (std::vector<std::string>{error_line(1, "A required \"begin\" keyword is missing")}));
    auto else_alone = parse("else begin end\n");
    EXPECT_EQ(else_alone->messages(), (std::vector<std::string>{error_line(1, "Syntax error")}));
}

TEST(ScriptParser, EndOfFileInsideStatements) {
    EXPECT_EQ(parse("print \"a\"")->messages(),
              (std::vector<std::string>{error_line(1, "Unexpected end of file")}));
    EXPECT_EQ(parse("if ~a eq \"b\"\n")->messages(),
              (std::vector<std::string>{error_line(1, "Unexpected end of file")}));
    EXPECT_EQ(parse("foreach")->messages(),
              (std::vector<std::string>{error_line(1, "Unexpected end of file")}));
}

TEST(ScriptParser, BlocksMustBeClosedAndEndMustCloseOne) {
    auto p = parse("loop 2 begin\n if true begin\n print \"x\";\n");
    EXPECT_EQ(p->messages(),
              (std::vector<std::string>{
                  error_line(3, "A \"begin\" keyword must have an accompanying \"end\" keyword"),
                  error_line(3, "A \"begin\" keyword must have an accompanying \"end\" keyword")}));
    auto stray = parse("print \"x\";\nend\nprint \"y\";\n");
    EXPECT_EQ(stray->messages(), (std::vector<std::string>{error_line(2, "Syntax error")}));
    EXPECT_EQ(kinds_of(stray->program.first()), (std::vector<int>{kMacroPrint, kMacroPrint}));
}

TEST(ScriptParser, FaultInsideABlockResumesAtItsEnd) {
    // The faulty statement is reported once; the block's own "end" still closes it.
    auto p = parse(
        "loop 2 begin\n"
        "  print \"missing semicolon\"\n"
        "end\n"
        "print \"after\";\n");
    EXPECT_EQ(p->messages(), (std::vector<std::string>{error_line(3, "Syntax error")}));
    const Statement* loop = p->program.first();
    EXPECT_EQ(kinds_of(loop), (std::vector<int>{kKwLoop, kMacroPrint}));
    EXPECT_EQ(loop->body, nullptr);
}

TEST(ScriptParser, BackslashContinuationJoinsAStatement) {
    auto p = parse("print \"a\" \\\n  \"b\";\nprint\\\n\"c\";\n");
    ASSERT_EQ(p->errors.count(), 0) << p->messages()[0];
    const Statement* s = p->program.first();
    EXPECT_EQ(s->parameters.size(), 2u);
    EXPECT_EQ(s->next->line, 3);
    EXPECT_EQ(s->next->parameters[0].symbol->text, "\"c\"");
}

TEST(ScriptParser, DeepNestingNeedsNoDeepStack) {
    std::string text;
    for (int i = 0; i < 50000; ++i) text += "loop 1 begin\n";
    for (int i = 0; i < 50000; ++i) text += "end\n";
    auto p = parse(text);
    EXPECT_EQ(p->errors.count(), 0);
    EXPECT_EQ(p->program.statement_count(), 50000u);
}

// The allowed parameter-token counts, one group per line of the language's table.
TEST(ScriptParser, EveryMacroAcceptsOnlyItsParameterCounts) {
    const int kAny = -1;
    struct Group {
        std::vector<std::string> macros;
        std::set<int> counts;  // kAny alone: every count; n with `or_more`: n and above
        int or_more = -1;
    };
    const std::vector<Group> groups = {
        {{"exitloop", "endscript", "enablepasv", "disablepasv", "setnlst", "unsetnlst", "ftpdisconnect"},
         {0}},
        {{"fileclose"}, {0}},
        {{"getcompname", "strlower", "strupper", "increment", "decrement", "filereadline", "filewriteline",
          "setexitcode", "settransfertype", "waitsecs"},
         {1}},
        {{"print", "strprint"}, {}, 1},
        {{"pkeyload"}, {1, 2}},
        {{"messagebox", "messageboxwarn", "ftpcustomcmd", "ftpuncompress"}, {1, 3}},
        {{"gettimestamp"}, {1, 4}},
        {{"getenvvar", "fileopen", "ftprunprogram", "rungpg", "ftpmakefolder", "ftpgetlist", "ftpsetpath"},
         {2}},
        {{"ftpmodtime"}, {}, 2},
        {{"certload"}, {2, 3}},
        {{"setvar"}, {2, 4}},
        {{"ftpcompress"}, {1, 2, 3, 4}},
        {{"proxyhttp"}, {2, 3, 4}},
        {{"ftpmovelocal", "ftpcopylocal"}, {2, 4, 6}},
        {{"ftpupload", "ftpdownload"}, {2, 3, 4, 5, 7}},
        {{"ftpdelete"}, {3, 5}},
        {{"ftpregexmatch", "ftpglobmatch", "ftpwildcardmatch", "ftprename"}, {3, 5, 7}},
        {{"strslice", "mailcreate", "readwinregistry"}, {4}},
        {{"ftpconnect", "ftpconnectssh", "ftpconnectssl", "ftpconnectsslc", "setduperules"}, {4, 5}},
        {{"mailsend"}, {4, 6}},
        {{"regexreplace"}, {4, 6, 8}},
        {{"mailattach", "reschedscript"}, {}, 0},
    };
    std::set<std::string> covered;
    for (const Group& g : groups) {
        for (const std::string& macro : g.macros) {
            ASSERT_NE(keyword_code(macro), 0) << macro;
            EXPECT_TRUE(covered.insert(macro).second) << macro;
            bool plain = keyword_code(macro) < kFirstMacroWithParameters;
            for (int n = 0; n <= 10; ++n) {
                if (plain && n > 0) break;  // these take no parameter tokens at all
                std::string text = macro;
                for (int i = 0; i < n; ++i) text += " \"p\"";
                text += ";";
                bool allowed = g.counts.count(n) > 0 || (g.or_more != kAny && n >= g.or_more);
                auto p = parse(text);
                EXPECT_EQ(p->errors.count(), allowed ? 0 : 1) << text;
                if (!allowed) {
                    EXPECT_EQ(p->messages()[0], error_line(1, "Incorrect number of parameters")) << text;
                }
            }
        }
    }
    EXPECT_EQ(covered.size(), 59u);
    // A parameterless macro given a parameter is missing its semicolon.
    EXPECT_EQ(parse("setnlst \"p\";")->errors.count(), 1);
}

}  // namespace
}  // namespace orvane::script
