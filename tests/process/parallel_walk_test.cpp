// Folder transfers with several sessions at once, through the program against vsftpd, pyftpdlib
// (passive and active) and sshd: the same messages in the same order, the same trees and results as
// with one session; a file failing in the middle fails the walk and leaves every other file whole; bad
// counts refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "client/ssh/ssh_key.h"
#include "common/base64.h"
#include "tests/client/ssh/ssh_test_keys.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/process.h"
#include "tests/support/sshd_server.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::FtpServer;
using test::FtpServerKind;
using test::random_bytes;
using test::read_all;
using test::TempDir;
using test::write_all;

bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

std::map<std::string, std::string> tree_of(const std::string& root) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(entry.path(), root).string();
        tree[rel] = entry.is_directory() ? "/" : read_all(entry.path().string());
    }
    return tree;
}

// Files of many sizes (some large enough to overlap), two levels of folders and an empty one.
void make_tree(const std::string& root) {
    fs::create_directories(root + "/sub/deeper");
    fs::create_directories(root + "/empty");
    for (int i = 0; i < 14; ++i)
        write_all(root + "/f" + std::to_string(i) + ".bin",
                  random_bytes(i == 0 ? 0 : static_cast<size_t>(i * 9973 + (i % 3) * 200000), i + 1));
    for (int i = 0; i < 6; ++i)
        write_all(root + "/sub/s" + std::to_string(i) + ".txt", random_bytes(4096 + i, 40 + i));
    write_all(root + "/sub/deeper/d.bin", random_bytes(70000, 60));
}

// What the run said, without the server dialogue that differs from run to run (data ports, a TYPE
// sent by another session), but with every file's transfer command in its place.
std::string said(const std::string& output) {
    static const std::regex dialogue("^([0-9]{3}[ -].*|[A-Z]{3,4}( .*)?|   .*)$");
    static const std::regex transfer("^(RETR|STOR) .*$");
    std::istringstream in(output);
    std::string line, kept;
    while (std::getline(in, line)) {
        if (std::regex_match(line, dialogue) && !std::regex_match(line, transfer)) continue;
        kept += line + "\n";
    }
    return kept;
}

// The commands the run sent, but the type and the folders entered (each session sets and enters its
// own), and an uploaded file's time (a session that never asked FEAT tries "MDTM time file" once
// before MFMT): the other sessions ask nothing per file that the first would not.
std::string commands_sent(const std::string& output) {
    static const std::regex command("^[A-Z]{3,4}( .*)?$");
    static const std::regex own("^(TYPE|CWD|MDTM [0-9]{14}|MFMT) .*$");
    std::istringstream in(output);
    std::string line, kept;
    while (std::getline(in, line))
        if (std::regex_match(line, command) && !std::regex_match(line, own)) kept += line + "\n";
    return kept;
}

// The walk down and back up again, as one script.
std::string round_trip(const std::string& login) {
    return login +
           "ftpdownload folder \"tree\" \"back\";\n"
           "ftpupload folder \"back\" \"up\";\n"
           "ftpdisconnect;\n";
}

// Each file present is whole: the walk may stop before a file, never inside one.
void expect_whole_or_absent(const std::map<std::string, std::string>& source, const std::string& root,
                            const std::string& failed) {
    size_t present = 0;
    for (const auto& [name, bytes] : source) {
        if (name == failed || bytes == "/") continue;
        std::string path = root + "/" + name;
        if (!fs::exists(path)) continue;
        ++present;
        EXPECT_TRUE(read_all(path) == bytes) << name << " is not whole";
    }
    EXPECT_GT(present, 0u);
}

struct FtpCase {
    const char* name;
    FtpServerKind kind;
    bool active;  // PORT: every session listens for its own data connections
};

class ParallelFtp : public ::testing::TestWithParam<FtpCase> {
  protected:
    void SetUp() override {
        ASSERT_EQ(server_.start(GetParam().kind), 0) << server_.error();
        make_tree(server_.local_home() + "/tree");
    }
    std::string login() const {
        std::string password = server_.user() == "anonymous" ? "any-pw" : server_.password();
        return "ftpconnect \"127.0.0.1\" " + std::to_string(server_.port()) + " \"" + server_.user() +
               "\" \"" + password + "\";\nftpsetpath remote \"/pub\";\n";
    }
    std::vector<std::string> mode_args(std::vector<std::string> args) const {
        if (GetParam().active) args.push_back("-nopasv");
        return args;
    }
    FtpServer server_;
};

TEST_P(ParallelFtp, SameOutputResultsAndTreesAsOneSession) {
    const std::string home = server_.local_home();
    const auto source = tree_of(home + "/tree");
    std::string reference, reference_commands;
    TempDir dir;
    for (const char* sessions : {"1", "4"}) {
        fs::remove_all(dir.file("back"));
        fs::remove_all(home + "/up");
        auto r = test::run_script_in(dir.path(), round_trip(login()), mode_args({"-parallel", sessions}));
        ASSERT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(tree_of(dir.file("back")), source) << sessions;
        EXPECT_EQ(tree_of(home + "/up"), source) << sessions;
        if (reference.empty()) {
            reference = said(r.output);
            reference_commands = commands_sent(r.output);
        } else {
            EXPECT_EQ(said(r.output), reference) << r.output;
            EXPECT_EQ(commands_sent(r.output), reference_commands);
        }
    }
}

// A refused upload name (a folder stands there) and an unwritable download target in the middle.
TEST_P(ParallelFtp, FailedFileInTheMiddleFailsTheWalk) {
    const std::string home = server_.local_home();
    const auto source = tree_of(home + "/tree");
    TempDir dir;
    fs::create_directories(dir.file("back/f7.bin"));
    auto r = test::run_script_in(
        dir.path(), "setparallel 4;\n" + login() + "ftpdownload folder \"tree\" \"back\";\n", mode_args({}));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "ERROR: Could not download /pub/tree/f7.bin")) << r.output;
    expect_whole_or_absent(source, dir.file("back"), "f7.bin");

    // Made here, so writable by whichever user the server works as.
    fs::create_directories(home + "/up/f7.bin");
    fs::permissions(home + "/up", fs::perms::all);
    r = test::run_script_in(dir.path(),
                            "setparallel 4;\n" + login() + "ftpupload folder \"" + home + "/tree\" \"up\";\n",
                            mode_args({}));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "ERROR: Could not upload " + home + "/tree/f7.bin")) << r.output;
    expect_whole_or_absent(source, home + "/up", "f7.bin");
}

INSTANTIATE_TEST_SUITE_P(Servers, ParallelFtp,
                         ::testing::Values(FtpCase{"vsftpd", FtpServerKind::kVsftpd, false},
                                           FtpCase{"vsftpdActive", FtpServerKind::kVsftpd, true},
                                           FtpCase{"pyftpdlib", FtpServerKind::kPyftpdlib, false},
                                           FtpCase{"pyftpdlibActive", FtpServerKind::kPyftpdlib, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// FTPS with a protected data channel and TLS session reuse demanded: each session's data connections
// resume that session's own TLS session.
TEST(ParallelFtps, TreesGoBothWaysWithSessionReuse) {
    test::FtpServerOptions options;
    options.tls = true;
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kVsftpd, options), 0) << server.error();
    make_tree(server.local_home() + "/tree");
    TempDir dir;
    auto r = test::run_script_in(dir.path(),
                                 "ftpconnectssl \"127.0.0.1\" " + std::to_string(server.port()) +
                                     " \"anonymous\" \"pw\";\nftpsetpath remote \"/pub\";\n" +
                                     round_trip(std::string()),
                                 {"-parallel", "4", "-insecure"});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(tree_of(dir.file("back")), tree_of(server.local_home() + "/tree"));
    EXPECT_EQ(tree_of(server.local_home() + "/up"), tree_of(server.local_home() + "/tree"));
}

// A server that takes two logins from one address: the walk goes on with two sessions and says so.
TEST(ParallelDegrade, RefusedExtraLoginsLeaveFewerSessions) {
    test::FtpServerOptions options;
    options.max_per_ip = 2;
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kVsftpd, options), 0) << server.error();
    make_tree(server.local_home() + "/tree");
    TempDir dir;
    auto r = test::run_script_in(dir.path(),
                                 "ftpconnect \"127.0.0.1\" " + std::to_string(server.port()) +
                                     " \"anonymous\" \"pw\";\nftpdownload folder \"/pub/tree\" \"back\";\n",
                                 {"-parallel", "4"});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "Warning: Could not open another session")) << r.output;
    EXPECT_EQ(tree_of(dir.file("back")), tree_of(server.local_home() + "/tree"));
}

// mget and mput with four sessions: a file that cannot be written fails the command, and every
// other match still arrives whole.
TEST(ParallelShell, MgetAndMputShareTheMatchesAndGoOnPastAFailure) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kPyftpdlib), 0) << server.error();
    make_tree(server.local_home() + "/tree");
    auto source = tree_of(server.local_home() + "/tree");
    std::erase_if(source, [](const auto& item) {
        return item.first.find('/') != std::string::npos || item.second == "/";
    });
    TempDir dir;
    fs::create_directories(dir.file("back/f7.bin"));
    write_all(dir.file("cmds.txt"), "open 127.0.0.1 " + std::to_string(server.port()) + "\n" + server.user() +
                                        "\n" + server.password() + "\ncd /pub/tree\nlcd " + dir.file("back") +
                                        "\nbinary\nmget *.bin\nmkdir /pub/up\ncd /pub/up\nmput *.bin\nbye\n");
    auto r = test::run_process(test::client_binary(), {"-parallel", "4", "-s:" + dir.file("cmds.txt")}, {},
                               false, std::chrono::seconds(60), {}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "ERROR: Could not download /pub/tree/f7.bin")) << r.output;
    auto expected = source;
    expected.erase("f7.bin");
    auto back = tree_of(dir.file("back"));
    back.erase("f7.bin");
    EXPECT_EQ(back, expected);
    EXPECT_EQ(tree_of(server.local_home() + "/up"), expected) << r.output;
}

TEST(ParallelSftp, SameOutputResultsAndTreesAsOneSession) {
    TempDir config, home, remote;
    const test::TestKeyFile& key = test::test_key_file("rsa-pem");
    test::SftpSshdOptions options;
    options.authorized_keys =
        std::string(ssh::key_type_name(key.kind)) + " " + base64_encode(key.public_blob) + " k\n";
    test::SshdDaemon sshd(test::sftp_sshd_config(config, options));
    if (!sshd.running()) GTEST_SKIP() << sshd.why();
    make_tree(remote.file("tree"));
    const auto source = tree_of(remote.file("tree"));
    const std::string login = "pkeyload \"" + key.path + "\" \"\";\nftpconnectssh \"127.0.0.1\" " +
                              std::to_string(sshd.port()) + " \"root\" \"\";\nftpsetpath remote \"" +
                              remote.path() + "\";\n";
    std::vector<std::string> env = {"ORVANE_KNOWN_HOSTS=" + home.file("known_hosts"), "HOME=" + home.path()};
    // The first login records the host key, and says so: every run after it says the same.
    TempDir dir;
    ASSERT_EQ(test::run_script_in(dir.path(), login, {}, env).exit_code, 0);
    std::string reference;
    for (const char* sessions : {"1", "4"}) {
        fs::remove_all(dir.file("back"));
        fs::remove_all(remote.file("up"));
        auto r = test::run_script_in(
            dir.path(), std::string("setparallel ") + sessions + ";\n" + round_trip(login), {}, env);
        ASSERT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(tree_of(dir.file("back")), source) << sessions;
        EXPECT_EQ(tree_of(remote.file("up")), source) << sessions;
        std::string text = said(r.output);
        text.erase(0, text.find('\n'));  // the setparallel line names its count
        if (reference.empty())
            reference = text;
        else
            EXPECT_EQ(text, reference) << r.output;
    }
}

TEST(ParallelCount, OutsideOneToSixteenRefused) {
    TempDir dir;
    for (const char* bad : {"0", "17", "x"}) {
        auto r = test::run_script_in(dir.path(), "print \"ran\";\n", {"-parallel", bad});
        EXPECT_EQ(r.exit_code, 1) << bad;
        EXPECT_TRUE(contains(r.output, std::string("Invalid number of parallel sessions ") + bad))
            << r.output;
        EXPECT_FALSE(contains(r.output, "ran")) << r.output;
    }
    for (const char* bad : {"0", "17"}) {
        auto r = test::run_script_in(dir.path(), std::string("setparallel ") + bad + ";\nprint \"ran\";\n");
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_TRUE(contains(r.output, "The number of parallel sessions must be 1 to 16")) << r.output;
    }
    auto r = test::run_script_in(dir.path(), "setparallel 16;\nprint \"ran\";\n", {"-parallel", "16"});
    EXPECT_EQ(r.exit_code, 0) << r.output;
}

}  // namespace
}  // namespace orvane
