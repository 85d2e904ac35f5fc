// The shell at a real terminal (libedit): Tab, history, Ctrl-C and Ctrl-D; logins from URLs and
// ~/.netrc; and whole trees through get -r, put -r and mirror against real servers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "tests/support/ftp_servers.h"
#include "tests/support/process.h"
#include "tests/support/sshd_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_account.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::client_binary;
using test::FtpServer;
using test::FtpServerKind;
using test::read_all;
using test::TempDir;
using test::write_all;

bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

size_t count_of(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
    return n;
}

// Every file and folder below `root` by relative path: a folder maps to "/", a file to its bytes.
std::map<std::string, std::string> tree_of(const std::string& root) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        tree[fs::relative(entry.path(), root).string()] =
            entry.is_directory() ? "/" : read_all(entry.path().string());
    return tree;
}

// Every byte as %XX: the client must decode what it is given.
std::string percent_encoded(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) out += std::string("%") + hex[c >> 4] + hex[c & 15];
    return out;
}

int mode_of(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

TEST(ShellEditing, TabCompletesHistoryRecallsCtrlCClearsCtrlDEnds) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kPyftpdlib), 0) << server.error();
    const std::string data = test::random_bytes(70000, 41);
    write_all(server.local_home() + "/report-2026.txt", data);
    fs::create_directories(server.local_home() + "/docs");
    write_all(server.local_home() + "/docs/annual-2026.txt", "annual\n");
    // A listed name that would set the terminal's title: never offered, never shown raw.
    write_all(server.local_home() + "/rep\x1b]0;pwned\x07.txt", "x");
    TempDir home, work;
    write_all(work.file("new-upload.bin"), "new\n");
    const std::vector<std::string> env{"HOME=" + home.path(), "XDG_STATE_HOME=" + home.path() + "/state",
                                       "TERM=xterm"};
    auto r = test::run_dialogue_in(client_binary(), {"127.0.0.1:" + std::to_string(server.port())},
                                   {{"User: ", server.user() + "\r"},
                                    {"Password: ", server.password() + "\r"},
                                    {"fendrel> ", "cd /pub\r"},
                                    {"fendrel> ", "ls rep\t\r"},
                                    // The upload changes the folder: Tab lists it afresh.
                                    {"fendrel> ", "put new-upload.bin\r"},
                                    {"fendrel> ", "delete new-u\t\r"},
                                    // A folder typed before the name is listed for its names.
                                    {"fendrel> ", "get do\tan\t\r"},
                                    {"fendrel> ", "get rep\t\r"},
                                    {"fendrel> ", "half typed\x03"},
                                    {"^C", "\x1b[A\r"},
                                    {"RETR report-2026.txt", ""},
                                    {"fendrel> ", "\x04"}},
                                   env, work.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(read_all(work.file("report-2026.txt")) == data) << r.output;
    // The up arrow brought the completed get back, and it ran a second time.
    EXPECT_EQ(count_of(r.output, "RETR report-2026.txt"), 2u) << r.output;
    EXPECT_FALSE(contains(r.output, "half typed is an invalid command")) << r.output;
    EXPECT_FALSE(contains(r.output, "\x1b]0;")) << r.output;
    EXPECT_TRUE(contains(r.output, "QUIT")) << r.output;
    EXPECT_TRUE(contains(r.output, "DELE new-upload.bin")) << r.output;
    EXPECT_FALSE(fs::exists(server.local_home() + "/new-upload.bin"));

    const std::string history = home.path() + "/state/orvane/history";
    EXPECT_EQ(
        read_all(history),
        "cd /pub\nls report-2026.txt\nput new-upload.bin\ndelete new-upload.bin\nget docs/annual-2026.txt\n"
        "get report-2026.txt\n");
    EXPECT_EQ(mode_of(history), 0600);
}

// A server that never answers the listing for Tab: the prompt comes back, and the shell knows the
// connection it had to close.
TEST(ShellEditing, TabListingThatNeverComesIsGivenUp) {
    test::ScriptedFtpServer server;
    ASSERT_EQ(server.start("> 220 scripted\n< USER bob\n> 331 need password\n< PASS s3cret\n> 230 in\n"
                           "< PWD\n> 257 \"/\" is current\nwait-bytes\nhold\n"),
              0);
    TempDir home, work;
    auto r = test::run_dialogue_in(client_binary(), {"127.0.0.1:" + std::to_string(server.port())},
                                   {{"User: ", "bob\r"},
                                    {"Password: ", "s3cret\r"},
                                    {"fendrel> ", "get rep\t"},
                                    {"open it again to go on", "\r"},
                                    // The line drawn again holds a prompt too: the next one
                                    // comes after the command's answer.
                                    {"Not Connected", ""},
                                    {"fendrel> ", "\x04"}},
                                   {"HOME=" + home.path(), "TERM=xterm"}, work.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "The listing for completion did not come within 10 s")) << r.output;
    EXPECT_TRUE(contains(r.output, "Not Connected")) << r.output;
}

// A URL without a password at a terminal: asked for without echo, and kept out of the history.
TEST(ShellEditing, UrlPasswordIsAskedAtTheTerminal) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kPyftpdlib), 0) << server.error();
    TempDir home, work;
    const std::string url = "ftp://" + server.user() + "@127.0.0.1:" + std::to_string(server.port()) + "/pub";
    auto r = test::run_dialogue_in(
        client_binary(), {},
        {{"fendrel> ", "open " + url + "\r"},
         {"Password: ", server.password() + "\r"},
         {"fendrel> ", "bye\r"}},
        {"HOME=" + home.path(), "XDG_STATE_HOME=" + home.path() + "/state", "TERM=xterm"}, work.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "250 \"/pub\" is the current directory.")) << r.output;
    EXPECT_FALSE(contains(r.output, server.password())) << r.output;
    EXPECT_EQ(read_all(home.path() + "/state/orvane/history"), "open " + url + "\nbye\n");
}

class ShellUrls : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(server_.start(FtpServerKind::kPyftpdlib), 0) << server_.error();
        fs::create_directories(server_.local_home() + "/sub");
        write_all(server_.local_home() + "/sub/u.bin", data_);
    }
    test::ProcessResult run(const std::vector<std::string>& args, const std::string& commands) {
        write_all(work_.file("cmds.txt"), commands);
        std::vector<std::string> all = args;
        all.push_back("-s:" + work_.file("cmds.txt"));
        return test::run_process(client_binary(), all, {}, false, std::chrono::seconds(60),
                                 {"HOME=" + home_.path()}, work_.path());
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(server_.port()); }

    FtpServer server_;
    TempDir home_, work_;
    const std::string data_ = test::random_bytes(50000, 42);
};

TEST_F(ShellUrls, PasswordFromTheUrlOrNetrcAndAnOpenNetrcRefused) {
    // On the command line, the password percent-encoded, the folder from the path.
    auto r = run(
        {"ftp://" + server_.user() + ":" + percent_encoded(server_.password()) + "@" + host() + "/pub/sub"},
        "get u.bin a.bin\nbye\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(read_all(work_.file("a.bin")) == data_) << r.output;
    EXPECT_FALSE(contains(r.output, server_.password())) << r.output;

    // In open, the password from ~/.netrc; the answer lines of a plain open are not read.
    const std::string netrc = home_.file(".netrc");
    write_all(netrc, "machine elsewhere login x password y\nmachine 127.0.0.1 login " + server_.user() +
                         " password " + server_.password() + "\n");
    fs::permissions(netrc, fs::perms::owner_read | fs::perms::owner_write);
    r = run({}, "open ftp://" + server_.user() + "@" + host() + "/pub/sub\nget u.bin b.bin\nbye\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(read_all(work_.file("b.bin")) == data_) << r.output;

    // A netrc others can read is not used, and an unattended open without a password stops.
    fs::permissions(netrc, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
    r = run({}, "open ftp://" + server_.user() + "@" + host() + "/pub/sub\nget u.bin c.bin\nbye\n");
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "(mode 0644): it is not used; chmod 600 it")) << r.output;
    EXPECT_TRUE(contains(r.output, "Error: No password for 127.0.0.1")) << r.output;
    EXPECT_FALSE(fs::exists(work_.file("c.bin")));
}

// A reply timeout shorter than the wait for a plain greeting: only TLS at once gets in.
TEST(ShellFtpsUrl, FtpsUrlStartsTlsAtOnce) {
    test::FtpServerOptions options;
    options.implicit_tls = true;
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kVsftpd, options), 0) << server.error();
    const std::string data = test::random_bytes(40000, 47);
    write_all(server.local_home() + "/t.bin", data);
    TempDir work;
    write_all(work.file("cmds.txt"), "get t.bin\nbye\n");
    auto r = test::run_process(client_binary(),
                               {"-timeout", "3", server.url("/pub"), "-s:" + work.file("cmds.txt")}, {},
                               false, std::chrono::seconds(60), {}, work.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(read_all(work.file("t.bin")) == data) << r.output;
}

TEST(ShellSftpUrl, SftpUrlLogsInAndMovesAFile) {
    test::TestAccount account;
    if (!account.made()) GTEST_SKIP() << account.why();
    TempDir config, home, work;
    test::SftpSshdOptions options;
    options.passwords = true;
    test::SshdDaemon sshd(test::sftp_sshd_config(config, options));
    if (!sshd.running()) GTEST_SKIP() << sshd.why();
    const std::string data = test::random_bytes(120000, 43);
    write_all(work.file("up.bin"), data);
    fs::create_directories(work.file("tree/sub"));
    write_all(work.file("tree/sub/in.bin"), data);
    write_all(work.file("cmds.txt"), "put up.bin\nget up.bin back.bin\nput -r tree t2\nget -r t2 t3\nbye\n");
    const std::string url = "sftp://" + account.name() + ":" + percent_encoded(account.password()) +
                            "@127.0.0.1:" + std::to_string(sshd.port()) + "/~/";
    auto r = test::run_process(
        client_binary(), {url, "-s:" + work.file("cmds.txt")}, {}, false, std::chrono::seconds(60),
        {"HOME=" + home.path(), "ORVANE_KNOWN_HOSTS=" + home.file("known_hosts")}, work.path());
    EXPECT_EQ(r.exit_code, 0) << r.output << sshd.log();
    EXPECT_TRUE(read_all(account.home() + "/up.bin") == data) << r.output;
    EXPECT_TRUE(read_all(work.file("back.bin")) == data) << r.output;
    EXPECT_TRUE(tree_of(work.file("t3")) == tree_of(work.file("tree"))) << r.output;
}

class ShellTrees : public ::testing::TestWithParam<FtpServerKind> {};

// A tree up with put -r, down with get -r and mirror, up again with mirror -R: byte for byte each
// way; a second mirror fetches the file that changed.
TEST_P(ShellTrees, PutGetAndMirrorAreByteExact) {
    FtpServer server;
    ASSERT_EQ(server.start(GetParam()), 0) << server.error();
    TempDir work;
    write_all(work.file("tree/a.txt"), "top\n");
    fs::create_directories(work.file("tree/sub/deeper"));
    write_all(work.file("tree/sub/b.bin"), test::random_bytes(300000, 44));
    write_all(work.file("tree/sub/deeper/c.bin"), test::random_bytes(5000, 45));
    const std::string login = server.user() + "\n" + server.password() + "\n";
    auto run = [&](const std::string& commands) {
        write_all(work.file("cmds.txt"), login + "cd /pub\n" + commands + "bye\n");
        return test::run_process(
            client_binary(), {"127.0.0.1:" + std::to_string(server.port()), "-s:" + work.file("cmds.txt")},
            {}, false, std::chrono::seconds(120), {}, work.path());
    };
    auto r = run("put -r tree up\nget -r up down\nmirror up m\nmirror -R m mup\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    const auto tree = tree_of(work.file("tree"));
    EXPECT_TRUE(tree_of(server.local_home() + "/up") == tree) << r.output;
    EXPECT_TRUE(tree_of(work.file("down")) == tree) << r.output;
    EXPECT_TRUE(tree_of(work.file("m")) == tree) << r.output;
    EXPECT_TRUE(tree_of(server.local_home() + "/mup") == tree) << r.output;

    const std::string changed = test::random_bytes(300000, 46);
    write_all(server.local_home() + "/up/sub/b.bin", changed);
    fs::last_write_time(server.local_home() + "/up/sub/b.bin",
                        fs::last_write_time(work.file("m/sub/b.bin")) + std::chrono::hours(1));
    r = run("mirror up m\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(read_all(work.file("m/sub/b.bin")) == changed) << r.output;
    EXPECT_EQ(count_of(r.output, "RETR "), 1u) << r.output;  // the unchanged files stay
}

INSTANTIATE_TEST_SUITE_P(Servers, ShellTrees,
                         ::testing::Values(FtpServerKind::kVsftpd, FtpServerKind::kPyftpdlib),
                         [](const auto& info) {
                             return std::string(info.param == FtpServerKind::kVsftpd ? "vsftpd"
                                                                                     : "pyftpdlib");
                         });

}  // namespace
}  // namespace orvane
