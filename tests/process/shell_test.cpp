// The shell as a user meets it: typed lines through a pipe or a terminal, command files, and
// whole sessions against vsftpd and pyftpdlib in passive and active mode.
#include <gtest/gtest.h>

#include <filesystem>

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
    EXPECT_TRUE(contains(tty.output, "\x1b[96mfendrel> \x1b[0m")) << tty.output;
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
                                        "dir listing.txt\n"
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
