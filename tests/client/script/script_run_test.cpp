// Script runs as a process: the script file is opened, parsed, and refused with every parse error.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::client_binary;
using test::run_process;
using test::TempDir;
using test::write_all;

TEST(ScriptRun, MissingScriptFileIsReportedWithExitCodeOne) {
    TempDir dir;
    std::string missing = dir.file("missing.fscr");
    auto r = run_process(client_binary(), {"-script", missing});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, "Error: Could not open script file " + missing + "\n");
    // A folder is no script file either.
    std::filesystem::create_directory(dir.file("folder.fscr"));
    r = run_process(client_binary(), {"-s:" + dir.file("folder.fscr")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.output.find("Error: Could not open script file"), std::string::npos) << r.output;
}

TEST(ScriptRun, ParseErrorsAreListedInFileOrderWithTheirCount) {
    TempDir dir;
    write_all(dir.file("bad.fscr"),
              "print \"fine\";\r\n"
              "IF ftpresult eq success begin\r\n"
              "end\r\n"
              "print \"fine\";\r\n"
              "setvar ~a;\r\n");
    auto r = run_process(client_binary(), {"-s:" + dir.file("bad.fscr")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output,
              "Script Engine: Parse Error on line 2 - Syntax error\n"
              "Script Engine: Parse Error on line 5 - Incorrect number of parameters\n"
              "Error: FTP script could not be parsed. 2 parse error(s)\n");
}

TEST(ScriptRun, BackslashesInTheScriptPathAreSeparators) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("sub"));
    write_all(dir.file("sub/good.fscr"), "print \"x\";\nendscript;\nprint \"not reached\";\n");
    auto r = run_process(client_binary(), {"-script", "sub\\good.fscr"}, {}, false, std::chrono::seconds(30),
                         {}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output, "x\nScript Engine: Script execution complete\n");
}

// Whole runs through the program: traces, runtime errors with their lines, end messages, exit codes.
TEST(ScriptRun, OutputAndExitCodes) {
    struct Case {
        const char* script;
        const char* output;
        int exit_code;
    };
    const Case cases[] = {
        {"setvar(~a, \"x\");\n"
         "print \"hello \" ~a;\n"
         "strslice ~a left 0 1;\n"
         "ftpconnect \"h\" 0 \"u\" \"pw\";\n"
         "setvar ~b $i.name;\n"
         "enablepasv;\n"
         "strprint ~c @l.count;\n"
         "pkeyload \"key.pem\" \"phrase\";\n",
         "Script Engine: Line 1: Executing setvar. Parameter(s):  ~a  \"x\"\n"
         "hello x\n"
         "Script Engine: Line 3: Executing strslice. Parameter(s):  ~a  left  0  1\n"
         "Script Engine: Line 4: Executing ftpconnect. Parameter(s):  \"h\"  0  \"u\"  (not displayed)\n"
         "Script Engine: Runtime Error on line 4 - Invalid port 0 (1 to 65535)\n"
         "Script Engine: Runtime Error on line 5 - The specified object does not exist for this scope\n"
         "Script Engine: Line 6: Executing enablepasv\n"
         "Script Engine: Line 7: Executing strprint. Parameter(s):  ~c  @l.\n"
         "Script Engine: Line 8: Executing pkeyload. Parameter(s):  \"key.pem\"  (not displayed)\n"
         "Script Engine: Script did not complete correctly.\n",
         1},
        {"print \"only\";\n", "only\nScript Engine: Script execution complete\n", 0},
        {"ftpcustomcmd \"\";\nsetexitcode 7;\n",
         "Script Engine: Line 1: Executing ftpcustomcmd. Parameter(s):  \"\"\n"
         "Script Engine: Runtime Error on line 1 - A command sent to a server holds 1 to 390 characters\n"
         "Script Engine: Line 2: Executing setexitcode. Parameter(s):  7\n"
         "Script Engine: Script did not complete correctly.\n",
         7},
        {"settransfertype file;\nsetduperules skip skip skip skip;\nsetduperules bysize resume skip rename "
         "\".bak\";\n"
         "if ftpresult == 1 begin\n  print \"registers start at 1\";\nend\n",
         "Script Engine: Runtime Error on line 1 - Parameter must be one of the following keywords - "
         "\"ascii\", or "
         "\"binary\" or \"auto\"\n"
         "Script Engine: Runtime Error on line 2 - Parameter must be one of the following keywords - "
         "\"bysize\", or "
         "\"bydate\"\n"
         "Script Engine: Line 3: Executing setduperules. Parameter(s):  bysize  resume  skip  rename  "
         "\".bak\"\n"
         "registers start at 1\n"
         "Script Engine: Script did not complete correctly.\n",
         1},
        // Every completion goes through the transfer engine, also for a loop of the largest count.
        {"loop 4294967295 begin\n  if ~n == 2 begin exitloop; end\n  increment ~n;\nend\nprint \"n=\" ~n;\n",
         "Script Engine: Line 3: Executing increment. Parameter(s):  ~n\n"
         "Script Engine: Line 3: Executing increment. Parameter(s):  ~n\n"
         "n=2\nScript Engine: Script execution complete\n",
         0},
        // A process keeps 8 bits of its exit status: a larger code stays a failure.
        {"setexitcode 256;\n",
         "Script Engine: Line 1: Executing setexitcode. Parameter(s):  256\nScript Engine: Script execution "
         "complete\n",
         255},
        // Control bytes of a value never reach the console raw.
        {"setvar ~a \"a\x1b[31mb\";\nprint ~a;\n",
         "Script Engine: Line 1: Executing setvar. Parameter(s):  ~a  \"a\\x1b[31mb\"\na\\x1b[31mb\n"
         "Script Engine: Script execution complete\n",
         0},
    };
    TempDir dir;
    for (const Case& c : cases) {
        write_all(dir.file("run.fscr"), c.script);
        auto r = run_process(client_binary(), {"-script", dir.file("run.fscr")});
        EXPECT_EQ(r.output, c.output) << c.script;
        EXPECT_EQ(r.exit_code, c.exit_code) << c.script;
    }
}

}  // namespace
}  // namespace orvane
