// The shell as a user meets it: typed lines through a pipe or a terminal, command files, and
// whole sessions against vsftpd and pyftpdlib in passive and active mode.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "tests/support/ftp_servers.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::client_binary;
using test::FtpServer;
using test::FtpServerKind;
using test::read_all;
using test::run_process;
using test::TempDir;
using test::write_all;

bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

TEST(Shell, CommandsWithoutAServer) {
    TempDir dir;
    const test::RefusingPort refusing;
    const std::string closed_port = std::to_string(refusing.port());
    auto r = run_process(client_binary(), {},
                         "pwd\n"
                         "verbose\n"
                         "frobnicate now\n"
                         "lcd " +
                             dir.path() +
                             "\n"
                             "!echo bang-$((40+2))\n"
                             "ssh\n"
                             "open 127.0.0.1 " +
                             closed_port +
                             "\n"
                             "answer-user\n"
                             "answer-password\n"
                             "nosecure\n"
                             "\n"
                             " quit\n"
                             "QUITTING\n"
                             "pwd\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(contains(r.output, "Fendrel secure file transfer client (version 4)\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "fendrel> Not Connected\n")) << r.output;
    // The message's own line feed leaves a blank line after it.
    EXPECT_TRUE(contains(r.output, "verbose is an invalid command\n\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "frobnicate is an invalid command\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "Local directory is " + dir.path() + "/\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "bang-42\n")) << r.output;
    // SFTP to a port nobody listens on fails with a word.
    EXPECT_TRUE(contains(r.output, "SSH (SFTP) enabled\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "ERROR: Could not connect to 127.0.0.1:" + closed_port)) << r.output;
    EXPECT_TRUE(contains(r.output, "Secure FTP disabled\n")) << r.output;
    // A line beginning with QUIT ends the program: the last pwd never runs.
    size_t last = r.output.rfind("Not Connected");
    EXPECT_LT(last, r.output.find("bang-42"));
}

TEST(Shell, EndOfInputEndsCleanlyAndLongLinesAreCut) {
    auto r = run_process(client_binary(), {}, std::string(5000, 'x') + "\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(contains(r.output, std::string(390, 'x') + " is an invalid command")) << r.output.size();
    EXPECT_FALSE(contains(r.output, std::string(391, 'x')));
}

TEST(Shell, TerminalShowsPromptAndColoursButPipeHasNoEscapes) {
    auto tty = run_process(client_binary(), {}, "pwd\nexit\n", true);
    // The edited prompt's colour ends once the typed line is read.
    EXPECT_TRUE(contains(tty.output, "\x1b[96mfendrel> ")) << tty.output;
    EXPECT_TRUE(contains(tty.output, "\x1b[93mNot Connected\x1b[0m")) << tty.output;
    auto piped = run_process(client_binary(), {}, "pwd\nexit\n");
    EXPECT_FALSE(contains(piped.output, "\x1b"));
}

TEST(Shell, MissingCommandFile) {
    auto r = run_process(client_binary(), {"-s:/nonexistent/commands.txt"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, "Error: Could not open script file /nonexistent/commands.txt\n");
}

struct ServerCase {
    FtpServerKind kind;
    bool passive;
};

class ShellSession : public ::testing::TestWithParam<ServerCase> {};

TEST_P(ShellSession, CommandFileMovesFilesByteForByte) {
    FtpServer server;
    ASSERT_EQ(server.start(GetParam().kind), 0) << server.error();
    TempDir dir;
    std::string data = test::random_bytes(300000) + "\r\nend\n";
    write_all(dir.file("up.bin"), data);
    std::filesystem::create_directory(dir.file("back"));
    write_all(dir.file("cmds.txt"), "open 127.0.0.1 " + std::to_string(server.port()) + "\n" + server.user() +
                                        "\n" + server.password() +
                                        "\n"
                                        "cd " +
                                        server.remote_home() +
                                        "\n"
                                        "lcd " +
                                        dir.path() +
                                        "\n"
                                        "binary\n"
                                        "put up.bin\n"
                                        "dir . listing.txt\n"
                                        "get up.bin back/down.bin\n"
                                        "rename up.bin moved.bin\n"
                                        "mget moved.*\n"
                                        "delete moved.bin\n"
                                        "bye\n");
    std::vector<std::string> args{"-s:" + dir.file("cmds.txt")};
    if (!GetParam().passive) args.push_back("-nopasv");
    auto r = run_process(client_binary(), args, {}, false, std::chrono::seconds(60), {}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(read_all(dir.file("back/down.bin")) == data) << r.output;
    EXPECT_TRUE(read_all(dir.file("moved.bin")) == data) << r.output;
    EXPECT_TRUE(contains(read_all(dir.file("listing.txt")), "up.bin\r\n")) << r.output;
    EXPECT_FALSE(std::filesystem::exists(server.local_home() + "/moved.bin")) << r.output;
    EXPECT_FALSE(contains(r.output, "Not Connected")) << r.output;
}

TEST_P(ShellSession, TypedPasswordIsNotEchoed) {
    FtpServer server;
    ASSERT_EQ(server.start(GetParam().kind), 0) << server.error();
    auto r = test::run_dialogue(client_binary(), {"127.0.0.1:" + std::to_string(server.port())},
                                {{"User: ", server.user() + "\n"},
                                 {"Password: ", server.password() + "\n"},
                                 {"fendrel> ", "pwd\n"},
                                 {"fendrel> ", "open 127.0.0.1\n"},
                                 {"fendrel> ", "exit\n"}});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, server.user() + "\r\n")) << r.output;  // the user name is echoed
    EXPECT_FALSE(contains(r.output, server.password())) << r.output;
    EXPECT_TRUE(contains(r.output, "257 \"")) << r.output;
    EXPECT_TRUE(contains(r.output, "Already connected. Disconnect from the server first")) << r.output;
}

// -v hides the server's replies; the commands sent still show.
TEST(ShellOptions, VHidesServerResponses) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kPyftpdlib), 0) << server.error();
    TempDir dir;
    write_all(dir.file("c.txt"), server.user() + "\n" + server.password() + "\npwd\nbye\n");
    auto r = run_process(client_binary(), {"-verbose-off", "-s:" + dir.file("c.txt"),
                                           "127.0.0.1:" + std::to_string(server.port())});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "USER " + server.user())) << r.output;
    EXPECT_FALSE(contains(r.output, "230")) << r.output;
    EXPECT_FALSE(contains(r.output, "257")) << r.output;
}

// The -ssl option and the ssl command: a protected session end to end from a command file.
TEST(ShellFtps, SslOptionAndCommandMoveFilesOverTls) {
    for (FtpServerKind kind : {FtpServerKind::kVsftpd, FtpServerKind::kPyftpdlib}) {
        FtpServer server;
        test::FtpServerOptions options;
        options.tls = true;
        ASSERT_EQ(server.start(kind, options), 0) << server.error();
        TempDir dir;
        std::string data = test::random_bytes(200000);
        write_all(dir.file("up.bin"), data);
        std::string login = "open 127.0.0.1 " + std::to_string(server.port()) + "\n" + server.user() + "\n" +
                            server.password() + "\ncd " + server.remote_home() + "\nlcd " + dir.path() + "\n";
        // The option: a protected session from the start.
        write_all(dir.file("a.txt"), login + "put up.bin\nget up.bin down.bin\nbye\n");
        auto r = run_process(client_binary(), {"-ssl", "-s:" + dir.file("a.txt")});
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_TRUE(contains(r.output, "TLS connection established")) << r.output;
        EXPECT_TRUE(contains(r.output, "PROT P")) << r.output;
        EXPECT_TRUE(read_all(dir.file("down.bin")) == data) << r.output;
        // The command: the shell switches from plain FTP.
        write_all(dir.file("b.txt"), "ssl\n" + login + "get up.bin again.bin\ndelete up.bin\nbye\n");
        r = run_process(client_binary(), {"-s:" + dir.file("b.txt")});
        EXPECT_TRUE(contains(r.output, "SSL (FTPS) enabled")) << r.output;
        EXPECT_TRUE(read_all(dir.file("again.bin")) == data) << r.output;
    }
}

// The two streams apart: standard error goes to err.txt in `dir`.
struct Streams {
    int exit_code;
    std::string out, err;
};
Streams run_split(const TempDir& dir, const std::vector<std::string>& args, const std::string& input = {}) {
    std::vector<std::string> sh{"-c", "exec \"$0\" \"$@\" 2>\"$ERR\"", client_binary()};
    sh.insert(sh.end(), args.begin(), args.end());
    auto r = run_process("/bin/sh", sh, input, false, std::chrono::seconds(60),
                         {"ERR=" + dir.file("err.txt")}, dir.path());
    return {r.exit_code, r.output, read_all(dir.file("err.txt"))};
}

std::string login_lines(const FtpServer& server, const TempDir& dir) {
    return "open 127.0.0.1:" + std::to_string(server.port()) + "\n" + server.user() + "\n" +
           server.password() + "\ncd " + server.remote_home() + "\nlcd " + dir.path() + "\n";
}

// Warnings and errors go to standard error; `get FILE -` puts the exact bytes on standard output,
// and -q leaves nothing else there, for command files and scripts alike.
TEST(ShellStreams, ErrorsOnStderrAndAskedForDataAloneOnStdout) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kPyftpdlib), 0) << server.error();
    TempDir dir;
    std::string data = test::random_bytes(200000) + "\r\n\x1b[2J end\n";
    write_all(dir.file("up.bin"), data);
    write_all(dir.file("a.txt"),
              login_lines(server, dir) + "put up.bin\nget up.bin -\nget missing.bin\nbye\n");
    Streams a = run_split(dir, {"-s:" + dir.file("a.txt")});
    EXPECT_EQ(a.exit_code, 1);
    EXPECT_TRUE(contains(a.out, "USER " + server.user())) << a.out;
    EXPECT_TRUE(contains(a.out, data));
    EXPECT_FALSE(contains(a.out, "ERROR")) << a.out;
    EXPECT_TRUE(contains(a.err, "Error: 550 No such file or directory.")) << a.err;
    EXPECT_TRUE(contains(a.err, "RETR up.bin")) << a.err;  // the messages of `get up.bin -`
    // A first upload has no remote file to measure: that is no warning.
    EXPECT_FALSE(contains(a.err, "Could not obtain the size")) << a.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("-")));

    write_all(dir.file("b.txt"), login_lines(server, dir) + "get up.bin -\nls\nget missing.bin -\nbye\n");
    Streams b = run_split(dir, {"-q", "-s:" + dir.file("b.txt")});
    EXPECT_EQ(b.exit_code, 1);
    EXPECT_TRUE(b.out == data + "up.bin\n") << b.out.size();
    EXPECT_FALSE(contains(b.err, "USER")) << b.err;
    EXPECT_TRUE(contains(b.err, "Error: 550 No such file or directory.")) << b.err;

    auto script = test::run_script_in(dir.path(), "setvar(~n, \"x\");\nprint \"value \" ~n;\n", {"-q"});
    EXPECT_EQ(script.exit_code, 0);
    EXPECT_EQ(script.output, "value x\n");
    // Someone typing at a quiet shell still sees its prompts, and nothing else.
    auto typed = run_process(client_binary(), {"-q"}, "pwd\nexit\n", true);
    EXPECT_TRUE(contains(typed.output, "fendrel> ")) << typed.output;
    EXPECT_FALSE(contains(typed.output, "version 4")) << typed.output;
}

// On a terminal a refusal shows in the error colour; the size probe before a first resumed upload
// is not a refusal, and a plain upload, which replaces the file whatever its size, sends none.
TEST(ShellStreams, ReplyColoursFollowTheReplyClass) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kVsftpd), 0) << server.error();
    TempDir dir;
    write_all(dir.file("up.bin"), "x");
    write_all(dir.file("c.txt"),
              login_lines(server, dir) +
                  "reput up.bin\nput up.bin again.bin\ndelete nothere.bin\ndelete up.bin\nbye\n");
    auto r = run_process(client_binary(), {"-s:" + dir.file("c.txt")}, {}, true);
    EXPECT_TRUE(contains(r.output, "\x1b[91m550 Delete operation failed.")) << r.output;
    EXPECT_TRUE(contains(r.output, "\x1b[96m550 Could not get file size.")) << r.output;
    EXPECT_TRUE(contains(r.output, "\x1b[92m250 Delete operation successful.")) << r.output;
    EXPECT_FALSE(contains(r.output, "\x1b[93mCould not obtain")) << r.output;
    EXPECT_FALSE(contains(r.output, "SIZE again.bin")) << r.output;
}

// A path longer than a request takes is refused whole: cut, it would name another file.
TEST(ShellStreams, AnOverlongPathIsRefusedNotCut) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kVsftpd), 0) << server.error();
    TempDir dir;
    const std::string step(80, 'd');
    std::string deep = dir.path();
    for (int i = 0; i < 5; ++i) deep += "/" + step;
    std::filesystem::create_directories(deep);
    write_all(deep + "/up.bin", "x");
    std::string lcd;
    for (int i = 0; i < 5; ++i) lcd += "lcd " + step + "\n";
    write_all(dir.file("c.txt"), login_lines(server, dir) + lcd + "get up.bin\nput up.bin\nbye\n");
    auto r = run_process(client_binary(), {"-s:" + dir.file("c.txt")});
    EXPECT_EQ(r.exit_code, 1);
    size_t refusals = 0;
    for (size_t at = r.output.find("Error: A path longer than"); at != std::string::npos;
         at = r.output.find("Error: A path longer than", at + 1))
        ++refusals;
    EXPECT_EQ(refusals, 2u) << r.output;
    EXPECT_FALSE(contains(r.output, "RETR")) << r.output;
    EXPECT_FALSE(contains(r.output, "STOR")) << r.output;
}

// ls and dir never replace a local file: "-" words are the server's listing options, a lone word
// the server lists is a remote path, and the old one-word form only ever writes a new file, and
// never from a command file.
TEST(ShellListings, LocalFilesAreNeverReplaced) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kPyftpdlib), 0) << server.error();
    TempDir dir;
    write_all(dir.file("remote.txt"), "r");
    write_all(dir.file("victim.txt"), "precious");
    auto r = run_process(client_binary(), {},
                         login_lines(server, dir) +
                             "put remote.txt\nls victim.txt\nls -l\ndir -la\nls remote.txt\n"
                             "ls . names.txt\nls fresh.txt\nbye\n",
                         false, std::chrono::seconds(60), {}, dir.path());
    EXPECT_EQ(read_all(dir.file("victim.txt")), "precious");
    EXPECT_EQ(read_all(dir.file("remote.txt")), "r");
    EXPECT_TRUE(contains(r.output, "use `ls . FILE` to write a listing to a file")) << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("-l")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("-la")));
    EXPECT_TRUE(std::regex_search(r.output, std::regex("\n-rw.* remote\\.txt\n"))) << r.output;
    EXPECT_EQ(read_all(dir.file("names.txt")), "remote.txt\r\n");
    EXPECT_EQ(read_all(dir.file("fresh.txt")), "remote.txt\r\n");

    write_all(dir.file("c.txt"), login_lines(server, dir) + "ls other.txt\nbye\n");
    r = run_process(client_binary(), {"-s:" + dir.file("c.txt")}, {}, false, std::chrono::seconds(60), {},
                    dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(contains(r.output, "use `ls . FILE` to write a listing to a file")) << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("other.txt")));
}

INSTANTIATE_TEST_SUITE_P(Servers, ShellSession,
                         ::testing::Values(ServerCase{FtpServerKind::kVsftpd, true},
                                           ServerCase{FtpServerKind::kVsftpd, false},
                                           ServerCase{FtpServerKind::kPyftpdlib, true},
                                           ServerCase{FtpServerKind::kPyftpdlib, false}),
                         [](const auto& info) {
                             return std::string(info.param.kind == FtpServerKind::kVsftpd ? "vsftpd"
                                                                                          : "pyftpdlib") +
                                    (info.param.passive ? "_passive" : "_active");
                         });

}  // namespace
}  // namespace orvane
