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
    write_all(dir.file("sub/good.fscr"), "print \"x\";\nendscript;\n");
    // A clean script is loaded; running it comes with the interpreter.
    auto r = run_process(client_binary(), {"-script", "sub\\good.fscr"}, {}, false, std::chrono::seconds(30),
                         {}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output.find("Could not open"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Parse Error"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("not available yet"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace orvane
