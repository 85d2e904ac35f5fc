// Unattended runs against servers that refuse, misbehave or lie: the exit code tells the caller
// what happened, the login answers never run as commands, nothing a server names escapes the
// local folder, and no control character of a server reaches the console or the log.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/ftp_servers.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::client_binary;
using test::read_all;
using test::run_process;
using test::ScriptedFtpServer;
using test::TempDir;
using test::write_all;

bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

// Raw control bytes other than tab and line ends: what must never reach a terminal.
bool has_raw_controls(const std::string& text) {
    for (unsigned char c : text)
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f) return true;
    return false;
}

const std::string kLogin =
    "> 220 scripted\n"
    "< USER bob\n"
    "> 331 need password\n"
    "< PASS s3cret\n"
    "> 230 in\n"
    "< PWD\n"
    "> 257 \"/\" is current\n";
const std::string kAnswers = "bob\ns3cret\n";

// One command file against one server script. "{OPEN}" in the commands is the open line of the
// server (or of a port nobody listens on when the script is empty).
struct RunCase {
    const char* name;
    std::string server;
    std::string commands;
    int exit_code;
    std::vector<std::string> shown;      // each appears in the output
    std::vector<std::string> not_shown;  // none appears
    std::vector<std::string> sent;       // the commands the server received, when it ran
    bool piped = false;                  // the shell reading a pipe instead of -s:FILE
};

TEST(Unattended, CommandFilesExitCodesAndLoginAnswers) {
    const std::string long_line = "!touch long-line-ran " + std::string(400, 'y');
    const RunCase cases[] = {
        {"all succeed",
         kLogin + "< PWD\n> 257 \"/\" again\n",
         "{OPEN}\n" + kAnswers + "pwd\n",
         0,
         {"257 \"/\" again"},
         {"s3cret"},
         {"USER bob", "PASS s3cret", "PWD", "PWD"}},
        // A second open is refused, and its answer lines stay answers.
        {"open while connected",
         kLogin,
         "{OPEN}\n" + kAnswers + "{OPEN}\nbob\n!touch pwned\n",
         1,
         {"Already connected. Disconnect from the server first"},
         {"pwned", "invalid command"},
         {}},
        // A server that needs no password never asks for it: the line is still an answer.
        {"USER answered 230",
         "> 220 hi\n< USER bob\n> 230 no password needed\n< PWD\n> 257 \"/\"\n",
         "{OPEN}\nbob\n!touch pwned\n",
         0,
         {"230 no password needed"},
         {"pwned", "invalid command"},
         {"USER bob", "PWD"}},
        {"wrong password",
         "> 220 hi\n< USER bob\n> 331 pass\n< PASS !touch pwned\n> 530 Login incorrect\n",
         "{OPEN}\nbob\n!touch pwned\n!touch ran-after\npwd\n",
         1,
         {"530 Login incorrect"},
         {"pwned", "ran-after", "Not Connected"},
         {"USER bob", "PASS !touch pwned"}},
        {"421 greeting",
         "> 421 Too many users\n",
         "{OPEN}\nbob\n!touch pwned\n!touch ran-after\n",
         1,
         {"421 Too many users"},
         {"pwned", "ran-after", "bob"},
         {}},
        {"refused connect",
         "",
         "{OPEN}\nbob\n!touch pwned\n!touch ran-after\npwd\n",
         1,
         {},
         {"pwned", "ran-after", "Not Connected", "bob"},
         {}},
        // The input ends where the password should be: the login is cancelled, nothing stands in.
        {"no password line",
         "> 220 hi\n< USER bob\n> 331 pass\n",
         "{OPEN}\nbob\n",
         1,
         {"Error: Login cancelled"},
         {"PASS"},
         {"USER bob"}},
        {"failed command, run goes on",
         kLogin + "< CWD /nowhere\n> 550 No such folder\n< PWD\n> 257 \"/\" later\n",
         "{OPEN}\n" + kAnswers + "cd nowhere\npwd\n",
         1,
         {"550 No such folder", "257 \"/\" later"},
         {},
         {}},
        {"unknown command",
         kLogin + "< PWD\n> 257 \"/\" later\n",
         "{OPEN}\n" + kAnswers + "frobnicate\npwd\n",
         1,
         {"frobnicate is an invalid command", "257 \"/\" later"},
         {},
         {}},
        {"over-long line",
         kLogin + "< PWD\n> 257 \"/\" later\n",
         "{OPEN}\n" + kAnswers + long_line + "\npwd\n",
         1,
         {"Error: Line 4 is longer than 389 characters", "257 \"/\" later"},
         {"long-line-ran", "yyyy is an invalid command"},
         {}},
        {"over-long password",
         "> 220 hi\n< USER bob\n> 331 pass\n",
         "{OPEN}\nbob\n" + long_line + "\n!touch ran-after\n",
         1,
         {"Error: Line 3 is longer than 389 characters", "Error: Login cancelled"},
         {"long-line-ran", "ran-after"},
         {"USER bob"}},
        // However the run ends, the server hears QUIT; an open takes host:port and [address]:port.
        {"bye sends QUIT",
         kLogin + "< QUIT\n> 221 bye\n",
         "open 127.0.0.1:{PORT}\n" + kAnswers + "bye\n",
         0,
         {},
         {},
         {"USER bob", "PASS s3cret", "PWD", "QUIT"}},
        {"end of the input sends QUIT",
         kLogin + "< QUIT\n> 221 bye\n",
         "open [127.0.0.1]:{PORT}\n" + kAnswers,
         0,
         {},
         {},
         {"USER bob", "PASS s3cret", "PWD", "QUIT"},
         true},
        {"unclosed bracket",
         "",
         "open [::1:{PORT}\nbob\n!touch pwned\n",
         1,
         {"Error: Invalid address [::1:"},
         {"pwned"},
         {}},
        {"piped shell",
         "> 220 hi\n< USER bob\n> 230 no password needed\n< PWD\n> 257 \"/\"\n",
         "{OPEN}\nbob\n!touch pwned\n",
         0,
         {"230 no password needed"},
         {"pwned", "invalid command"},
         {"USER bob", "PWD"},
         true},
    };
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ScriptedFtpServer server;
        int port = test::free_loopback_port();
        if (!c.server.empty()) {
            ASSERT_EQ(server.start(c.server), 0);
            port = server.port();
        }
        std::string commands = c.commands;
        for (size_t at; (at = commands.find("{OPEN}")) != std::string::npos;)
            commands.replace(at, 6, "open 127.0.0.1 " + std::to_string(port));
        for (size_t at; (at = commands.find("{PORT}")) != std::string::npos;)
            commands.replace(at, 6, std::to_string(port));
        write_all(dir.file("cmds.txt"), commands);
        std::vector<std::string> args;
        if (!c.piped) args.push_back("-s:" + dir.file("cmds.txt"));
        auto r = run_process(client_binary(), args, c.piped ? commands : std::string(), false,
                             std::chrono::seconds(30), {}, dir.path());
        EXPECT_EQ(r.exit_code, c.exit_code) << r.output;
        for (const std::string& s : c.shown) EXPECT_TRUE(contains(r.output, s)) << s << "\n" << r.output;
        for (const std::string& s : c.not_shown) EXPECT_FALSE(contains(r.output, s)) << s << "\n" << r.output;
        EXPECT_FALSE(std::filesystem::exists(dir.file("pwned")));
        EXPECT_FALSE(std::filesystem::exists(dir.file("ran-after")));
        EXPECT_FALSE(std::filesystem::exists(dir.file("long-line-ran")));
        if (!c.server.empty()) {
            server.wait();
            if (!c.sent.empty()) {
                EXPECT_EQ(server.commands(), c.sent);
            }
        }
    }
}

// The limit itself: 389 characters run (also as the last line without a line end), 390 do not.
TEST(Unattended, LineLimitIsExact) {
    TempDir dir;
    const std::string fits = "!echo " + std::string(383, 'f'), over = "!echo " + std::string(384, 'o');
    for (const std::string& last : {fits + "\n", fits}) {
        write_all(dir.file("cmds.txt"), fits + "\n" + over + "\n" + last);
        auto r = run_process(client_binary(), {"-s:" + dir.file("cmds.txt")});
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_EQ(r.output, std::string(383, 'f') + "\nError: Line 2 is longer than 389 characters\n" +
                                std::string(383, 'f') + "\n");
    }
}

// A hostile listing for mget and mdelete: names that climb out of the folder, absolute names with
// backslashes, names with terminal controls, "." and "..". None is used; each is shown escaped.
TEST(Unattended, MgetAndMdeleteSkipUnsafeNamesAndShowThemEscaped) {
    const std::string names =
        "..\\\\..\\\\x\\r\\n"
        "\\\\tmp\\\\x\\r\\n"
        "esc\x1b[2Jname\\r\\n"
        "bell\x07\\r\\n"
        "back\bspace\\r\\n"
        ".\\r\\n"
        "..\\r\\n";
    ScriptedFtpServer server;
    const std::string listing =
        "< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n"
        "< NLST\n> 150 here\n"
        "data-send " +
        names + "\n> 226 done\n";
    ASSERT_EQ(server.start(kLogin + "< TYPE A\n> 200 ascii\n" + listing + listing + "wait-bytes\n"), 0);
    TempDir dir;
    std::filesystem::create_directories(dir.file("a/b"));
    write_all(dir.file("cmds.txt"), "open 127.0.0.1 " + std::to_string(server.port()) + "\n" + kAnswers +
                                        "lcd " + dir.file("a/b") + "\nmget *\nmdelete *\n");
    auto r = run_process(client_binary(), {"-s:" + dir.file("cmds.txt")}, {}, false, std::chrono::seconds(30),
                         {}, dir.file("a/b"));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_EQ(server.wait(), 0) << server.failure();
    for (const char* shown :
         {"Skipping \"..\\..\\x\"", "Skipping \"\\tmp\\x\"", "Skipping \"esc\\x1b[2Jname\"",
          "Skipping \"bell\\x07\"", "Skipping \"back\\x08space\""})
        EXPECT_TRUE(contains(r.output, shown)) << shown << "\n" << r.output;
    EXPECT_FALSE(has_raw_controls(r.output)) << r.output;
    EXPECT_FALSE(contains(r.output, "Skipping \".\"")) << r.output;  // never even considered
    for (const std::string& command : server.commands()) EXPECT_NE(command.rfind("DELE", 0), 0u) << command;
    size_t files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path()))
        files += e.is_regular_file();
    EXPECT_EQ(files, 1u) << "only the command file";
}

// A password sent as a raw command is masked like the login's own, whatever its case.
TEST(Unattended, RawPasswordCommandsAreMasked) {
    ScriptedFtpServer server;
    ASSERT_EQ(
        server.start(kLogin +
                     "< PASS hunter2\n> 503 already in\n< pass hunter3\n> 503 already in\nwait-bytes\n"),
        0);
    TempDir dir;
    write_all(dir.file("cmds.txt"), "open 127.0.0.1 " + std::to_string(server.port()) + "\n" + kAnswers +
                                        "quote PASS hunter2\nliteral pass hunter3\n");
    auto r = run_process(client_binary(), {"-s:" + dir.file("cmds.txt")}, {}, false, std::chrono::seconds(30),
                         {}, dir.path());
    EXPECT_EQ(server.wait(), 0) << server.failure();
    EXPECT_FALSE(contains(r.output, "hunter")) << r.output;
    EXPECT_TRUE(contains(r.output, "PASS ********")) << r.output;
}

// Escape sequences in a greeting and a PWD reply are shown escaped, on the console and in the log.
TEST(Unattended, ServerTextIsEscapedOnConsoleAndInLog) {
    const std::string script =
        "> 220 \x1b]0;owned\x07 hello \x1b[2J\n"
        "< USER bob\n> 331 need password\n< PASS s3cret\n> 230 in\n"
        "< PWD\n> 257 \"/\x1b[31mred\" is current\n"
        "< TYPE A\n> 200 ascii\n"
        "< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n"
        "< NLST\n> 150 here\n"
        "data-send listed\x1b]2;title\x07name\\r\\n\n"
        "> 226 done\n";
    for (bool to_log : {false, true}) {
        ScriptedFtpServer server;
        ASSERT_EQ(server.start(script), 0);
        TempDir dir;
        write_all(dir.file("cmds.txt"),
                  "open 127.0.0.1 " + std::to_string(server.port()) + "\n" + kAnswers + "ls\n");
        std::vector<std::string> args{"-s:" + dir.file("cmds.txt")};
        if (to_log) args.insert(args.end(), {"-logfile", dir.file("run.log")});
        auto r = run_process(client_binary(), args, {}, true);  // a terminal: where escapes would act
        EXPECT_EQ(r.exit_code, 0) << r.output;
        std::string text = to_log ? read_all(dir.file("run.log")) : r.output;
        EXPECT_TRUE(contains(text, "220 \\x1b]0;owned\\x07 hello \\x1b[2J")) << text;
        EXPECT_TRUE(contains(text, "257 \"/\\x1b[31mred\" is current")) << text;
        EXPECT_TRUE(contains(text, "listed\\x1b]2;title\\x07name")) << text;
        EXPECT_FALSE(contains(text, "\x1b]0;")) << text;
        EXPECT_FALSE(contains(text, "\x1b[2J")) << text;
        EXPECT_FALSE(contains(text, "\x07")) << text;
    }
}

// Quoted words carry blanks in names; a pattern that matches nothing fails the run with a message.
TEST(Unattended, QuotedNamesAndPatternsThatMatchNothing) {
    test::FtpServer server;
    ASSERT_EQ(server.start(test::FtpServerKind::kPyftpdlib), 0) << server.error();
    TempDir dir;
    write_all(dir.file("my file.txt"), "blank-named\n");
    write_all(dir.file("cmds.txt"), "open 127.0.0.1 " + std::to_string(server.port()) + "\n" + server.user() +
                                        "\n" + server.password() + "\ncd " + server.remote_home() + "\nlcd " +
                                        dir.path() +
                                        "\nput \"my file.txt\"\nget \"my file.txt\" \"copy of it.txt\"\n"
                                        "mput *.none\nmget *.none\nmdelete *.none\n");
    auto r = run_process(client_binary(), {"-s:" + dir.file("cmds.txt")}, {}, false, std::chrono::seconds(60),
                         {}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_EQ(read_all(server.local_home() + "/my file.txt"), "blank-named\n") << r.output;
    EXPECT_EQ(read_all(dir.file("copy of it.txt")), "blank-named\n") << r.output;
    size_t at = 0, count = 0;
    while ((at = r.output.find("No files match *.none", at)) != std::string::npos) ++count, ++at;
    EXPECT_EQ(count, 3u) << r.output;
}

}  // namespace
}  // namespace orvane
