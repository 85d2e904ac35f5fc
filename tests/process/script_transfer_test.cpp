// Scripts that act on servers, run through the program against vsftpd and pyftpdlib: every
// transfer macro in passive and active mode, the FTPS kinds, the duplicate rules, exit codes,
// hidden passwords, and servers that drop the connection or fall silent.
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
using test::FtpServerOptions;
using test::random_bytes;
using test::read_all;
using test::run_process;
using test::ScriptedFtpServer;
using test::TempDir;
using test::write_all;

bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// vsftpd takes any password for its anonymous user: one that no path or message holds by chance.
std::string password_of(const FtpServer& server) {
    return server.user() == "anonymous" ? "Hidden-Pw-4711" : server.password();
}

std::string connect_line(const char* macro, const FtpServer& server) {
    return std::string(macro) + " \"127.0.0.1\" " + std::to_string(server.port()) + " " +
           quoted(server.user()) + " " + quoted(password_of(server)) + ";\n";
}

test::ProcessResult run_script(const TempDir& dir, const std::string& script,
                               const std::vector<std::string>& options = {}) {
    return test::run_script_in(dir.path(), script, options);
}

struct ServerCase {
    const char* name;
    FtpServerKind kind;
    bool passive;
};

class EveryMacro : public ::testing::TestWithParam<ServerCase> {};

// Every macro that acts on a server, one script: the listing's entries reach foreach, content is
// byte-exact both ways, and the server is back in the remembered folder after each transfer.
TEST_P(EveryMacro, RoundTrip) {
    FtpServer server;
    ASSERT_EQ(server.start(GetParam().kind), 0) << server.error();
    TempDir dir;
    const std::string a = random_bytes(200000, 7), b = random_bytes(4097, 8);
    write_all(dir.file("a.bin"), a);
    write_all(dir.file("b.bin"), b);
    std::filesystem::create_directory(dir.file("back"));
    std::string script = std::string(GetParam().passive ? "enablepasv;\n" : "disablepasv;\n") +
                         connect_line("ftpconnect", server) +
                         "ftpsetpath remote \"/pub\";\n"
                         "ftpupload file \"a.bin\";\n"
                         "ftpupload file \"b.bin\" \"b-remote.bin\";\n"
                         "ftpmakefolder remote \"sub\";\n"
                         "ftprename remote \"b-remote.bin\" \"sub/b2.bin\";\n"
                         "ftpgetlist remote @l;\n"
                         "foreach $e in @l begin\n"
                         "  print \"entry \" $e.name \" \" $e.size \" \" $e.isfolder \" \" $e.modtime;\n"
                         "end\n"
                         "ftpmodtime ~t \"a.bin\";\n"
                         "print \"time=\" ~t;\n"
                         "ftpcustomcmd \"NOOP\";\n"
                         "ftpdownload file \"a.bin\" \"back/a.bin\";\n"
                         "ftpdownload file \"sub/b2.bin\" \"back\\\\b2.bin\";\n"
                         "ftpdelete remote file \"sub/b2.bin\";\n"
                         "ftpdelete remote folder \"sub\";\n"
                         "ftpdisconnect;\n";
    auto r = run_script(dir, script);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "Remote path: /pub\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "Local  path: " + dir.path() + "/\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "entry a.bin 200000 is a file 2")) << r.output;
    EXPECT_TRUE(contains(r.output, "entry sub ")) << r.output;
    EXPECT_TRUE(contains(r.output, " is a folder 2")) << r.output;
    EXPECT_FALSE(contains(r.output, "entry b-remote.bin")) << r.output;
    EXPECT_TRUE(contains(r.output, "time=2")) << r.output;
    EXPECT_TRUE(contains(r.output, "Script Engine: Script execution complete")) << r.output;
    EXPECT_FALSE(contains(r.output, password_of(server))) << r.output;
    EXPECT_TRUE(read_all(dir.file("back/a.bin")) == a);
    EXPECT_TRUE(read_all(dir.file("back/b2.bin")) == b);
    EXPECT_TRUE(read_all(server.local_home() + "/a.bin") == a);
    EXPECT_FALSE(std::filesystem::exists(server.local_home() + "/sub"));
}

INSTANTIATE_TEST_SUITE_P(Servers, EveryMacro,
                         ::testing::Values(ServerCase{"vsftpd_passive", FtpServerKind::kVsftpd, true},
                                           ServerCase{"vsftpd_active", FtpServerKind::kVsftpd, false},
                                           ServerCase{"pyftpdlib_passive", FtpServerKind::kPyftpdlib, true},
                                           ServerCase{"pyftpdlib_active", FtpServerKind::kPyftpdlib, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The FTPS kinds against a vsftpd that demands TLS and session reuse on its data connections. The
// script never disconnects: the run still ends and lets its session go.
TEST(ScriptTransfer, FtpsKindsWithSessionReuse) {
    FtpServerOptions options;
    options.tls = true;
    options.clear_data_allowed = true;
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kVsftpd, options), 0) << server.error();
    TempDir dir;
    const std::string data = random_bytes(300000, 9);
    write_all(dir.file("f.bin"), data);
    for (const char* macro : {"ftpconnectssl", "ftpconnectsslc"}) {
        std::filesystem::remove(dir.file("back.bin"));
        auto r = run_script(dir, connect_line(macro, server) +
                                     "ftpsetpath remote \"/pub\";\n"
                                     "ftpupload file \"f.bin\";\n"
                                     "ftpgetlist remote @l;\n"
                                     "print \"count=\" @l.count;\n"
                                     "ftpdownload file \"f.bin\" \"back.bin\";\n"
                                     "ftpdelete remote file \"f.bin\";\n");
        EXPECT_EQ(r.exit_code, 0) << macro << r.output;
        EXPECT_TRUE(contains(r.output, "count=1")) << r.output;
        EXPECT_TRUE(read_all(dir.file("back.bin")) == data) << macro;
        EXPECT_FALSE(contains(r.output, password_of(server))) << r.output;
    }
}

// certload's certificate opens a vsftpd that demands one (a self-signed one, its own CA); without
// it, or with a file that does not load, the connect fails.
TEST(ScriptTransfer, ClientCertificateOfCertload) {
    TempDir certs;
    ASSERT_EQ(test::make_self_signed_certificate(certs.path()), 0);
    FtpServerOptions options;
    options.tls = true;
    options.client_ca_file = certs.file("cert.pem");
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kVsftpd, options), 0) << server.error();
    TempDir dir;
    const std::string work = connect_line("ftpconnectssl", server) + "ftpsetpath remote \"/pub\";\n";
    struct Case {
        std::string certload;
        int exit_code;
    };
    const Case cases[] = {
        {"", 1},
        {"certload \"" + certs.file("missing.pem") + "\" \"\";\n", 1},
        {"certload \"" + certs.file("cert.pem") + "\" \"" + certs.file("key.pem") + "\";\n", 0},
    };
    for (const Case& c : cases) {
        auto r = run_script(dir, c.certload + work);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.certload << r.output << server.log();
        EXPECT_EQ(contains(r.output, "Remote path: /pub"), c.exit_code == 0) << r.output;
    }
}

// setduperules bysize resume skip overwrite: a smaller target is resumed, an equal one skipped,
// uploads and downloads alike. (pyftpdlib: vsftpd's anonymous user may not write files it did not
// make.)
TEST(ScriptTransfer, DuplicateRulesResumeAndSkip) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kPyftpdlib), 0) << server.error();
    TempDir dir;
    const std::string data = random_bytes(100000, 11);
    write_all(dir.file("up.bin"), data);
    write_all(server.local_home() + "/up.bin", data.substr(0, 40000));
    write_all(server.local_home() + "/down.bin", data);
    write_all(dir.file("down.bin"), data.substr(0, 30000));
    std::string rules = "setduperules bysize resume skip overwrite;\n";
    std::string transfers = "ftpupload file \"up.bin\";\nftpdownload file \"down.bin\";\n";
    auto r = run_script(dir, rules + connect_line("ftpconnect", server) + "ftpsetpath remote \"/pub\";\n" +
                                 transfers + transfers + "ftpdisconnect;\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "REST 40000")) << r.output;
    EXPECT_TRUE(contains(r.output, "REST 30000")) << r.output;
    EXPECT_TRUE(read_all(server.local_home() + "/up.bin") == data);
    EXPECT_TRUE(read_all(dir.file("down.bin")) == data);
    // The second pass finds both files equal.
    size_t first = r.output.find("Skipping duplicate file based on user defined rules");
    ASSERT_NE(first, std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Skipping duplicate file based on user defined rules", first + 1),
              std::string::npos);
}

// Failed statements set the exit code, values that would smuggle a second command are refused,
// and the password reaches neither the console nor the log file.
TEST(ScriptTransfer, FailuresExitCodesAndHiddenPassword) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kPyftpdlib), 0) << server.error();
    TempDir dir;
    struct Case {
        std::string script;
        int exit_code;
        std::vector<std::string> shown;
    };
    const std::string login = connect_line("ftpconnect", server);
    const test::RefusingPort refusing;
    const uint16_t closed_port = refusing.port();
    const Case cases[] = {
        {login + "ftpdownload file \"missing.bin\";\nftpdisconnect;\n",
         1,
         {"Script did not complete correctly."}},
        {login + "ftpdownload file \"missing.bin\";\nsetexitcode 3;\n", 3, {}},
        // A second connect replaces the session; the first need not have been closed.
        {login + login + "ftpdisconnect;\n" + login + "ftpgetlist remote @l;\n",
         0,
         {"Script execution complete"}},
        {login + "ftpcustomcmd \"BOGUS\";\nif ftpresult eq success begin print \"wrong\"; end\n",
         1,
         {"BOGUS", "500 "}},
        {std::string("ftpconnect \"127.0.0.1\" ") + std::to_string(server.port()) + " \"" + server.user() +
             "\" \"wrong-password\";\nftpgetlist remote @l;\n",
         1,
         {"Script did not complete correctly."}},
        {login + "setvar ~a \"x\";\nftpdelete remote file \"a" + std::string(1, '\0') + "DELE b\";\n",
         1,
         {"A value sent to a server must not hold a line break or a NUL character"}},
        {"ftpconnectssh \"127.0.0.1\" " + std::to_string(closed_port) + " \"u\" \"p\";\n",
         1,
         {"ERROR: Could not connect to 127.0.0.1:" + std::to_string(closed_port)}},
    };
    for (const Case& c : cases) {
        auto r = run_script(dir, c.script, {"-log", dir.file("run.log")});
        std::string log = read_all(dir.file("run.log"));
        EXPECT_EQ(r.exit_code, c.exit_code) << c.script << r.output << log;
        for (const std::string& s : c.shown) EXPECT_TRUE(contains(r.output + log, s)) << s << r.output << log;
        EXPECT_FALSE(contains(r.output + log, password_of(server)));
        EXPECT_FALSE(contains(r.output + log, "wrong-password"));
        EXPECT_FALSE(contains(r.output + log, "\nDELE "));  // no second command was sent
    }
}

// A server that drops the connection fails the running statement; the later ones fail at once and
// the run ends. One that falls silent is given up after -timeout.
TEST(ScriptTransfer, DroppedAndSilentServers) {
    const std::string login =
        "> 220 scripted\n< USER bob\n> 331 need password\n< PASS s3cret\n> 230 in\n"
        "< PWD\n> 257 \"/\" is current\n< PWD\n> 257 \"/\" is current\n";
    struct Case {
        const char* name;
        std::string server;
        std::vector<std::string> options;
    };
    const Case cases[] = {
        {"dropped", login + "< TYPE I\nclose\n", {}},
        {"silent", login + "< TYPE I\npause 4000\n", {"-timeout", "1"}},
    };
    for (const Case& c : cases) {
        ScriptedFtpServer server;
        ASSERT_EQ(server.start(c.server), 0);
        TempDir dir;
        auto r = run_script(dir,
                            "ftpconnect \"127.0.0.1\" " + std::to_string(server.port()) +
                                " \"bob\" \"s3cret\";\n"
                                "ftpdownload file \"x.bin\";\n"
                                "ftpgetlist remote @l;\n"
                                "ftpupload file \"job.fscr\";\n"
                                "print \"reached the end\";\n",
                            c.options);
        server.wait();
        EXPECT_EQ(r.exit_code, 1) << c.name << r.output;
        EXPECT_TRUE(contains(r.output, "reached the end")) << c.name << r.output;
        EXPECT_TRUE(contains(r.output, "Script did not complete correctly.")) << c.name << r.output;
        EXPECT_FALSE(contains(r.output, "s3cret")) << c.name << r.output;
    }
}

// Found as they were: a UTF-8 file name in a script became blanks, and "ftpsetpath remote" at
// 390 characters reported failure (the 257 reply line was cut) while vsftpd had changed folder.
// The name goes up and comes back byte for byte, and the change to the long folder succeeds.
TEST(ScriptTransfer, Utf8NamesAndFullLengthFoldersAreExact) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kVsftpd), 0) << server.error();
    TempDir dir;
    const std::string name = "Ünïcødé файл.txt";
    const std::string data = random_bytes(5000, 30);
    write_all(dir.file(name), data);
    // "/pub" and components of at most 150 characters, 390 in all; made writable for vsftpd's
    // anonymous user. strprint joins them: one literal holds only 261 characters.
    std::string remote = "/pub", join = "strprint ~r \"/pub\"";
    for (char letter = 'a'; remote.size() < 390; ++letter) {
        size_t take = std::min<size_t>(150, 390 - remote.size() - 1);
        std::string part = "/" + std::string(take, letter);
        remote += part;
        join += " " + orvane::quoted(part);
        std::filesystem::create_directory(server.local_home() + remote.substr(4));
        std::filesystem::permissions(server.local_home() + remote.substr(4), std::filesystem::perms::all);
    }
    join += ";\n";
    auto r = run_script(dir, connect_line("ftpconnect", server) + join + "ftpsetpath remote ~r;\n" +
                                 "ftpsetpath remote \"/pub\";\nftpupload file " + orvane::quoted(name) +
                                 ";\n" + "ftpmakefolder local \"back\";\nftpsetpath local \"back\";\n" +
                                 "ftpdownload file " + orvane::quoted(name) + ";\nftpdisconnect;\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "Remote path: " + remote + "\n")) << r.output;
    EXPECT_TRUE(read_all(server.local_home() + "/" + name) == data);
    EXPECT_TRUE(read_all(dir.file("back/" + name)) == data);
}

// A server that accepts CWD but whose confirmation cannot be read has moved all the same: the
// failed statement takes it back to the remembered folder before anything else is sent.
TEST(ScriptTransfer, UnconfirmedFolderChangeGoesBack) {
    ScriptedFtpServer server;
    ASSERT_EQ(server.start("> 220 scripted\n< USER bob\n> 331 need password\n< PASS s3cret\n> 230 in\n"
                           "< PWD\n> 257 \"/home\" is current\n< PWD\n> 257 \"/home\" is current\n"
                           "< CWD /deep\n> 250 ok\n< PWD\n> 257 no quotes here\n"
                           "< CWD /home\n> 250 ok\n< PWD\n> 257 \"/home\" is current\n< QUIT\n> 221 bye\n"),
              0);
    TempDir dir;
    auto r = run_script(dir, "ftpconnect \"127.0.0.1\" " + std::to_string(server.port()) +
                                 " \"bob\" \"s3cret\";\nftpsetpath remote \"/deep\";\nftpdisconnect;\n");
    EXPECT_EQ(server.wait(), 0) << server.failure() << r.output;
    EXPECT_EQ(r.exit_code, 1) << r.output;
}

// A server lists "../up.txt", a name with a CR in it and a backslash name: none of them reaches a
// local action, directly or through a value made from it, and the file above the folder stays.
TEST(ScriptTransfer, UnsafeListedNamesNeverBecomeLocalPaths) {
    ScriptedFtpServer server;
    ASSERT_EQ(server.start("> 220 scripted\n< USER bob\n> 331 need password\n< PASS s3cret\n> 230 in\n"
                           "< PWD\n> 257 \"/\" is current\n< PWD\n> 257 \"/\" is current\n"
                           "< TYPE A\n> 200 ascii\n< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n"
                           "< LIST\n> 150 here\ndata-send -rw-r--r-- 1 u g 5 Jan 1 2020 ../up.txt\\r\\n"
                           "-rw-r--r-- 1 u g 5 Jan 1 2020 up.txt\\rx\\r\\n"
                           "-rw-r--r-- 1 u g 5 Jan 1 2020 ..\\\\up.txt\\r\\n\n"
                           "> 226 done\n< QUIT\n> 221 bye\n"),
              0);
    TempDir dir;
    std::filesystem::create_directories(dir.file("work"));
    write_all(dir.file("up.txt"), "keep");
    write_all(dir.file("work/up.txt"), "keep too");
    auto r =
        test::run_script_in(dir.file("work"), "ftpconnect \"127.0.0.1\" " + std::to_string(server.port()) +
                                                  " \"bob\" \"s3cret\";\n"
                                                  "ftpgetlist remote @l;\n"
                                                  "foreach $i in @l begin\n"
                                                  "  strprint ~n $i.name;\n"
                                                  "  ftpdelete local file ~n;\n"
                                                  "  ftpdelete local file $i.name;\n"
                                                  "  ftpcompress ~n;\n"
                                                  "end\n"
                                                  "ftpdisconnect;\n");
    EXPECT_EQ(server.wait(), 0) << server.failure() << r.output;
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_EQ(read_all(dir.file("up.txt")), "keep");
    EXPECT_EQ(read_all(dir.file("work/up.txt")), "keep too");
    EXPECT_TRUE(
        contains(r.output, "holds a name a server listed that is not safe as a file name (\"../up.txt\")"))
        << r.output;
    EXPECT_TRUE(contains(r.output, "(\"up.txt\\x0dx\")")) << r.output;
}

}  // namespace
}  // namespace orvane
