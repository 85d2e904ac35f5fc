// The interpreter in memory (no transfer session: it delivers its own completions): conditions,
// number conversions, control flow, values and bad input.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "client/script/interpreter.h"
#include "client/script/script_keywords.h"
#include "client/script/script_parser.h"
#include "common/log.h"

namespace orvane::script {
namespace {

struct Outcome {
    std::vector<std::string> printed;  // lines that are no "Script Engine: " message
    std::vector<std::string> engine;   // "Script Engine: " lines
    uint32_t exit_code = 0;
    uint64_t failures = 0;
    bool done = false;
};

void capture(void* context, const char* text, int, int) {
    auto* run = static_cast<Outcome*>(context);
    std::string line(text);
    (line.rfind("Script Engine: ", 0) == 0 ? run->engine : run->printed).push_back(line);
}

void mark_done(void* context) {
    static_cast<Outcome*>(context)->done = true;
}

using Lists = std::map<std::string, std::vector<ListEntry>>;

// The list @l that the tests iterate: a file and a folder.
const Lists kFileAndFolder = {
    {"@l", {{"a.txt", "20240102030405", "12", false}, {"b", "20240102030406", "", true}}}};

Outcome run(std::string_view text, const Lists& lists = {}, uint64_t limit = 0) {
    ScriptReader reader(text);
    SymbolTable symbols;
    Program program;
    ParseErrors errors;
    parse_script(reader, symbols, program, errors);
    EXPECT_EQ(errors.count(), 0) << (errors.count() ? errors.messages()[0] : "");
    Outcome r;
    ScriptContext context;
    Interpreter interpreter(program, symbols.size(), context, ScriptDone{mark_done, &r});
    interpreter.set_statement_limit(limit);
    for (const auto& [name, entries] : lists)
        if (const Symbol* s = symbols.find(name)) interpreter.values().list(*s).entries = entries;
    set_output_sink(capture, &r);
    interpreter.handle_message(InterpreterMessage::kStart, 0);
    set_output_sink(nullptr, nullptr);
    r.exit_code = interpreter.run_exit_code();
    r.failures = interpreter.failure_count();
    EXPECT_TRUE(r.done);
    return r;
}

std::string runtime_error(int line, const char* text) {
    return "Script Engine: Runtime Error on line " + std::to_string(line) + " - " + text;
}

TEST(ScriptConditions, EveryOperator) {
    struct Case {
        const char* a;
        const char* condition;
        bool truth;
    };
    const Case cases[] = {
        {"report.txt", "~a eq \"*.txt\"", true},  // a wildcard on either side
        {"report.txt", "\"*.txt\" eq ~a", true},
        {"report.txt", "~a ne \"*.txt\"", false},
        {"report.txt", "~a eq \"*.doc\"", false},
        {"ab*", "~a eq \"a?c\"", false},  // neither text matches the other as a pattern
        {"bx", "\"[a-c]x\" eq ~a", true},
        {"bx", "\"[!a-c]x\" eq ~a", false},
        {"Report.txt", "~a eq \"report.txt\"", false},  // case-sensitive
        {"10", "~a > 9", true},                         // numbers
        {"10", "~a gt 9", false},                       // texts: "10" sorts before "9"
        {"10", "~a lt 9", true},
        {"10", "~a ge \"10\"", true},
        {"10", "~a le \"1\"", false},
        {"10", "~a == 10", true},
        {"10", "~a != 10", false},
        {"10", "~a < 10", false},
        {"10", "~a <= 10", true},
        {"10", "~a >= 11", false},
        {"12abc", "~a == 12", true},  // the digits at the start
        {"abc", "~a == 0", true},
        {"4294967295", "~a < 0", true},  // signed 32-bit
        {"", "ftpresult == 1", true},    // registers start at 1
        {"", "mailresult eq true", true},
        {"", "fileresult ne success", true},
        {"", "ftpresult eq success", false},
        {"", "false eq success", true},
        {"", "@l.count == 2", true},
        {"report.txt", "~a eq \"x\" \"*.txt\"", true},  // a third value replaces the right one
        {"report.txt", "~a eq ne \"*.txt\"", false},    // the last operator wins
    };
    for (const Case& c : cases) {
        std::string script = std::string("setvar ~a \"") + c.a + "\";\nif " + c.condition +
                             " begin print \"T\"; end else begin print \"F\"; end\n";
        Outcome r = run(script, kFileAndFolder);
        EXPECT_EQ(r.printed, std::vector<std::string>{c.truth ? "T" : "F"}) << c.condition;
        EXPECT_EQ(r.exit_code, 0u) << c.condition;
    }
}

TEST(ScriptConditions, FaultsAreReportedAndMakeTheConditionFalse) {
    struct Case {
        const char* condition;
        std::vector<std::string> errors;
    };
    const Case cases[] = {
        {"~a ~a ~a",
         {runtime_error(1, "Comparison operator (\"eq\" or \"ne\") missing in \"if\" statement")}},
        {"~a eq", {runtime_error(1, "Incorrect number of parameters")}},
        {"@l eq 1",
         {runtime_error(1, "Object member missing - object members are specified as \"object.member\"")}},
        {"@l.name eq 1", {runtime_error(1, "Object member is invalid")}},
        {"$i.name eq 1",
         {runtime_error(1, "The specified object does not exist for this scope"),
          runtime_error(1, "The specified object does not exist for this scope")}},
        {"~a eq . 1", {runtime_error(1, "Parameter for \"if\" statement is invalid")}},
    };
    for (const Case& c : cases) {
        Outcome r =
            run(std::string("if ") + c.condition + " begin print \"T\"; end else begin print \"F\"; end\n",
                kFileAndFolder);
        EXPECT_EQ(r.printed, std::vector<std::string>{"F"}) << c.condition;
        std::vector<std::string> expected = c.errors;
        expected.push_back("Script Engine: Script did not complete correctly.");
        EXPECT_EQ(r.engine, expected) << c.condition;
        EXPECT_EQ(r.exit_code, 1u) << c.condition;
    }
}

TEST(ScriptValues, NumberConversionsAndUnsignedCounters) {
    struct Case {
        const char* value;
        const char* macro;
        const char* result;
    };
    const Case cases[] = {
        {"", "increment", "1"},
        {"0", "decrement", "4294967295"},
        {"4294967295", "increment", "0"},
        {"12abc", "increment", "13"},
        {"abc", "decrement", "4294967295"},
        {"99999999999", "decrement", "4294967294"},  // saturates at the 32-bit maximum first
        {"007", "increment", "8"},
        {"-5", "increment", "1"},  // no sign: no digits at the start
    };
    for (const Case& c : cases) {
        Outcome r = run(std::string("setvar ~v \"") + c.value + "\";\n" + c.macro + " ~v;\nprint ~v;\n");
        EXPECT_EQ(r.printed, std::vector<std::string>{c.result}) << c.value << " " << c.macro;
    }
}

TEST(ScriptValues, TextMacros) {
    struct Case {
        const char* script;
        const char* printed;
    };
    const Case cases[] = {
        {"setvar ~s \"abcdefg\"; strslice ~s left 2 3; print ~s;", "cde"},
        {"setvar ~s \"abcdefg\"; strslice ~s right 2 3; print ~s;", "cde"},
        {"setvar ~s \"abcdefg\"; strslice ~s left 2 0; print ~s;", "cdefg"},
        {"setvar ~s \"abcdefg\"; strslice ~s right 2 9; print ~s;", "abcde"},
        {"setvar ~s \"abc\"; strslice ~s left 4 1; print \"[\" ~s \"]\";", "[]"},
        {"setvar ~s \"abc\"; strslice ~s left 3 1; print \"[\" ~s \"]\";", "[]"},
        {"setvar ~s \"MiXed 1\"; strlower ~s; print ~s;", "mixed 1"},
        {"setvar ~s \"MiXed 1\"; strupper ~s; print ~s;", "MIXED 1"},
        {"strprint ~s \"n=\" 5 \" \" @l.count; print ~s;", "n=5 2"},
        {"print \"[\" ~never \"]\";", "[]"},  // created empty
        {"foreach $i in @l begin setvar ~n $i.name; setvar ~f $i.isfolder; print ~n \" \" ~f \" \" "
         "$i.isfolder "
         "\" \" $i.size; end",
         nullptr},
    };
    for (const Case& c : cases) {
        Outcome r = run(c.script, kFileAndFolder);
        if (c.printed) {
            EXPECT_EQ(r.printed, std::vector<std::string>{c.printed}) << c.script;
        }
    }
    Outcome r = run(cases[10].script, kFileAndFolder);
    EXPECT_EQ(r.printed, (std::vector<std::string>{"a.txt 0 is a file 12", "b 1 is a folder "}));
}

TEST(ScriptControlFlow, Blocks) {
    struct Case {
        const char* script;
        std::vector<std::string> printed;
        uint32_t exit_code;
    };
    const Case cases[] = {
        {"loop 2 begin loop 3 begin increment ~n; end end print ~n;", {"6"}, 0},
        {"loop 0 begin print \"x\"; end print \"after\";", {"after"}, 0},
        // exitloop leaves the foreach and the loop; the item is free again afterwards.
        {"loop 3 begin foreach $i in @l begin print $i.name; exitloop; end print \"no\"; end\n"
         "foreach $i in @l begin print $i.name; end print \"done\";",
         {"a.txt", "a.txt", "b", "done"},
         0},
        {"loop 5 begin print \"x\"; if 1 == 1 begin endscript; end end print \"no\";", {"x"}, 0},
        {"if 1 == 1 begin end else begin end loop 3 begin end foreach $i in @l begin end print \"ok\";",
         {"ok"},
         0},
        {"foreach $i in @l begin foreach $j in @l begin print $i.name \"/\" $j.name; end end",
         {"a.txt/a.txt", "a.txt/b", "b/a.txt", "b/b"},
         0},
        {"if ftpresult eq success begin print \"s\"; end else begin print \"f\"; end", {"f"}, 0},
        {"foreach $i in @never begin print \"x\"; end print @never.count;", {"0"}, 0},
        {"loop 4294967295 begin increment ~n; if ~n == 3 begin exitloop; end end print ~n;", {"3"}, 0},
        // Faults of control statements: reported, the run goes on, and it ends as a failure.
        {"exitloop; print \"after\";", {"after"}, 1},
        {"foreach $i in @l begin exitloop; print \"no\"; end print \"after\"; foreach $i in @l begin print "
         "$i.name; end",
         {"after", "a.txt", "b"},
         1},
        {"foreach $i in @l begin foreach $i in @l begin print \"no\"; end print $i.name; end",
         {"a.txt", "b"},
         1},
        {"foreach @l in $i begin print \"no\"; end print \"after\";", {"after"}, 1},
        // The faulty value is skipped: the line is printed without it.
        {"foreach $i in @l begin end print $i.name; print \"after\";", {"", "after"}, 1},
    };
    for (const Case& c : cases) {
        Outcome r = run(c.script, kFileAndFolder);
        EXPECT_EQ(r.printed, c.printed) << c.script;
        EXPECT_EQ(r.exit_code, c.exit_code) << c.script;
    }
}

TEST(ScriptMacroTable, OneRowPerMacroNamedAsItsKeyword) {
    for (int code = kFirstMacro; code <= kLastKeyword; ++code) {
        const MacroRow* row = macro_row(code);
        ASSERT_NE(row, nullptr) << code;
        EXPECT_EQ(row->code, code);
        EXPECT_STREQ(row->name, keyword_name(code));
    }
    EXPECT_EQ(macro_row(kFirstMacro - 1), nullptr);
    EXPECT_EQ(macro_row(kLastKeyword + 1), nullptr);
}

TEST(ScriptControlFlow, ExitCodeRule) {
    struct Case {
        const char* script;
        uint32_t exit_code;
    };
    const Case cases[] = {
        {"print \"a\";", 0},
        {"ftpdisconnect;", 1},
        {"ftpdisconnect; setexitcode 7;", 7},
        {"setexitcode 5; ftpdisconnect;", 5},
        {"setexitcode 0; ftpdisconnect;", 1},
        {"setvar ~c \"9\"; setexitcode ~c;", 9},
        {"print $i.name;", 1},  // an invalid print value
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.script).exit_code, c.exit_code) << c.script;
}

TEST(ScriptBadInput, LargeDeepAndLongScriptsRun) {
    std::string many;
    for (int i = 0; i < 100000; ++i) many += "increment ~n;\n";
    many += "print ~n;";
    EXPECT_EQ(run(many).printed, std::vector<std::string>{"100000"});

    std::string deep;
    for (int i = 0; i < 20000; ++i) deep += "if 1 == 1 begin loop 1 begin\n";
    deep += "print \"deep\";\n";
    for (int i = 0; i < 20000; ++i) deep += "end end\n";
    EXPECT_EQ(run(deep).printed, std::vector<std::string>{"deep"});

    // Values are cut: a parameter's text at 391 characters, a variable at 1,560.
    std::string literal(250, 'x');
    Outcome r = run("setvar ~a \"" + literal + "\"; strprint ~b ~a ~a ~a ~a ~a ~a ~a; setvar ~c ~b;\n" +
                    "print ~b; print ~c;");
    ASSERT_EQ(r.printed.size(), 2u);
    EXPECT_EQ(r.printed[0].size(), 1560u);
    EXPECT_EQ(r.printed[1].size(), 391u);

    // A statement limit ends a run that would go on for billions of passes.
    r = run("loop 4294967295 begin if 1 == 1 begin end end print \"no\";", {}, 100000);
    EXPECT_TRUE(r.printed.empty());
    EXPECT_EQ(r.exit_code, 1u);
}

}  // namespace
}  // namespace orvane::script
