// The built client as a process: exit codes, log file, colours on a terminal but not in a pipe.
#include <gtest/gtest.h>

#include "common/version.h"
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

    // With -nocolor everything after start-up is plain.
    auto nocolor = run_process(client_binary(), {"-nocolor", "-s:/nonexistent/cmds.txt"}, {}, true);
    EXPECT_NE(nocolor.output.find("Could not open"), std::string::npos) << nocolor.output;
    EXPECT_EQ(nocolor.output.find("\x1b["), std::string::npos) << nocolor.output;

    auto no_color_env = run_process(client_binary(), {"-bogus", "-s:/nonexistent/cmds.txt"}, {}, true,
                                    std::chrono::seconds(30), {"NO_COLOR=1"});
    EXPECT_EQ(no_color_env.output.find("\x1b["), std::string::npos) << no_color_env.output;
}

// A mistyped or incomplete option ends the run with 1 after its message, before anything else runs
// (a cron job with a typo must not report success, nor try the script's name as a host).
TEST(Startup, BadOptionsEndTheRunWithOne) {
    TempDir dir;
    test::write_all(dir.file("job.fscr"), "print \"ran\";\n");
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const std::vector<Case> cases = {
        {{"--script", "job.fscr"}, "Invalid option: --script\n"},
        {{"-script"}, "Error: The option -script needs a file name\n"},
        {{"-script", "\"\""}, "Error: The option -script needs a file name\n"},
        {{"-s:"}, "Error: The option -s: needs a file name\n"},
        {{"-bogus", "-script", "job.fscr"}, "Invalid option: -bogus\n"},
    };
    for (const Case& c : cases) {
        auto r = run_process(client_binary(), c.args, {}, false, std::chrono::seconds(30), {}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << c.args[0];
        EXPECT_EQ(r.output, c.message) << c.args[0];
    }
    auto good = run_process(client_binary(), {"-script", "job.fscr"}, {}, false, std::chrono::seconds(30), {},
                            dir.path());
    EXPECT_EQ(good.exit_code, 0) << good.output;
    EXPECT_NE(good.output.find("ran"), std::string::npos);
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

// An unattended run never goes silent: the console takes the output, with the reason.
TEST(Startup, UnopenableLogFileIsReportedAndConsoleTakesOver) {
    auto r = run_process(client_binary(), {"-logfile", "/nonexistent/dir/x.log", "-s:/nonexistent/cmds.txt"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output,
              "Error: Could not open log file /nonexistent/dir/x.log: No such file or directory\n"
              "Error: Could not open script file /nonexistent/cmds.txt\n");
}

TEST(Startup, HelpVersionAndBadValues) {
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        std::string first_line;
    };
    const Case cases[] = {
        {{"--help"}, 0, "Usage: orvaneftp [options] [host[:port]] [port]"},
        {{"-h"}, 0, "Usage: orvaneftp [options] [host[:port]] [port]"},
        {{"/?"}, 0, "Usage: orvaneftp [options] [host[:port]] [port]"},
        {{"--version"}, 0, std::string("orvaneftp ") + release_version()},
        {{"127.0.0.1:65536"}, 1, "Error: Invalid port 65536 (1 to 65535)"},
        {{"-timeout", "soon", "-s:/nonexistent/c.txt"},
         1,
         "Error: Invalid timeout soon (seconds, 0 to 86400; 0 waits forever)"},
        // A path beginning with "/" is the option's value, not an option: the script is tried.
        {{"-script", "/nonexistent.fscr"}, 1, ""},
    };
    for (const Case& c : cases) {
        auto r = run_process(client_binary(), c.args);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.args[0] << "\n" << r.output;
        if (!c.first_line.empty()) {
            EXPECT_EQ(r.output.substr(0, r.output.find('\n')), c.first_line) << r.output;
        }
        // The shell never starts (it would prompt once before the end of the input).
        EXPECT_FALSE(r.output.ends_with("fendrel> ")) << r.output;
    }
    std::string help = run_process(client_binary(), {"--help"}).output;
    for (const char* word :
         {"-timeout SECONDS", "-s:FILE", "-script FILE", "-logfile", "-nopasv", "Exit codes"})
        EXPECT_NE(help.find(word), std::string::npos) << word;
}

TEST(Startup, OverlongArgumentsAreCut) {
    std::string big(100000, 'x');
    auto r = run_process(client_binary(), {big, "-script", big + ".fscr", "-logfile", big});
    EXPECT_EQ(r.exit_code, 1);
}

}  // namespace
}  // namespace orvane
