// The built client as a process: exit codes, log file, colours on a terminal but not in a pipe.
#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::client_binary;
using test::read_all;
using test::run_process;
using test::TempDir;

TEST(Startup, InvalidOptionOnConsoleColouredOnlyOnTerminal) {
    auto piped = run_process(client_binary(), {"-bogus", "-s:/nonexistent/cmds.txt"});
    EXPECT_NE(piped.output.find("Invalid option: -bogus"), std::string::npos) << piped.output;
    EXPECT_EQ(piped.output.find("\x1b["), std::string::npos);

    auto tty = run_process(client_binary(), {"-bogus", "-s:/nonexistent/cmds.txt"}, {}, true);
    EXPECT_NE(tty.output.find("\x1b[91mInvalid option: -bogus\x1b[0m"), std::string::npos) << tty.output;

    // Options are reported while the command line is read, before -nocolor takes effect;
    // everything after start-up is plain.
    auto nocolor = run_process(client_binary(), {"-nocolor", "-bogus", "-s:/nonexistent/cmds.txt"}, {}, true);
    size_t first_line_end = nocolor.output.find('\n');
    ASSERT_NE(first_line_end, std::string::npos);
    EXPECT_GT(nocolor.output.size(), first_line_end + 2);
    EXPECT_EQ(nocolor.output.find("\x1b[", first_line_end), std::string::npos) << nocolor.output;

    auto no_color_env = run_process(client_binary(), {"-bogus", "-s:/nonexistent/cmds.txt"}, {}, true,
                                    std::chrono::seconds(30), {"NO_COLOR=1"});
    EXPECT_EQ(no_color_env.output.find("\x1b["), std::string::npos) << no_color_env.output;
}

TEST(Startup, LogFileTakesAllOutputAndConsoleStaysSilent) {
    TempDir dir;
    // An invalid option is reported before the log is opened, so it reaches the console.
    auto r = run_process(client_binary(),
                         {"-bogus", "-logfile", dir.file("x.log"), "-s:/nonexistent/cmds.txt"}, {}, true);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.output.find("Invalid option: -bogus"), std::string::npos);
    r = run_process(client_binary(), {"-logfile", dir.file("x.log"), "-s:/nonexistent/cmds.txt"}, {}, true);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, "");
    std::string log = read_all(dir.file("x.log"));
    EXPECT_EQ(log.rfind("[ERR] ", 0), 0u) << log;
    EXPECT_EQ(log.find("\x1b"), std::string::npos);
}

TEST(Startup, UnopenableLogFileDoesNotCrash) {
    auto r = run_process(client_binary(), {"-logfile", "/nonexistent/dir/x.log", "-s:/nonexistent/cmds.txt"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, "");
}

TEST(Startup, OverlongArgumentsAreCut) {
    std::string big(100000, 'x');
    auto r = run_process(client_binary(), {big, "-script", big + ".fscr", "-logfile", big});
    EXPECT_EQ(r.exit_code, 1);
}

}  // namespace
}  // namespace orvane
