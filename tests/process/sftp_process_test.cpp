// SFTP through the program against OpenSSH's sshd on loopback: scripts moving whole trees with their
// times, resume and duplicate rules, the shell with a password login, a server that dies in the
// middle of a download, and the HTTP CONNECT proxy with and without Basic authentication.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "client/ssh/ssh_key.h"
#include "common/base64.h"
#include "tests/client/ssh/ssh_test_keys.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/proxy_server.h"
#include "tests/support/sshd_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_account.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::random_bytes;
using test::read_all;
using test::TempDir;
using test::write_all;

bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

// A PEM RSA key without a pass phrase, and an OpenSSH Ed25519 key with one.
const test::TestKeyFile& plain_key() {
    return test::test_key_file("rsa-pem");
}
const test::TestKeyFile& protected_key() {
    return test::test_key_file("ed25519-openssh-enc");
}

std::string authorized(const test::TestKeyFile& key) {
    return std::string(ssh::key_type_name(key.kind)) + " " + base64_encode(key.public_blob) + " " + key.name +
           "\n";
}

time_t mtime_of(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

void set_mtime(const std::string& path, time_t when) {
    timespec times[2] = {{when, 0}, {when, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Every file and folder below `root` by relative path: a folder maps to "/", a file to its bytes.
std::map<std::string, std::string> tree_of(const std::string& root) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(entry.path(), root).string();
        tree[rel] = entry.is_directory() ? "/" : read_all(entry.path().string());
    }
    return tree;
}

// An sshd serving SFTP on loopback with both test keys authorised, a scratch folder for the server's
// side, and the client's own known-hosts file and home, so that no file of the machine is used.
class SftpProcess : public ::testing::Test {
  protected:
    std::unique_ptr<test::SshdDaemon> start_sshd(bool designed, bool passwords = false) {
        test::SftpSshdOptions options;
        options.authorized_keys = authorized(plain_key()) + authorized(protected_key());
        options.designed_algorithms = designed;
        options.passwords = passwords;
        auto sshd = std::make_unique<test::SshdDaemon>(test::sftp_sshd_config(config_, options));
        port_ = sshd->port();
        return sshd;
    }
    std::vector<std::string> env() const {
        return {"ORVANE_KNOWN_HOSTS=" + home_.file("known_hosts"), "HOME=" + home_.path()};
    }
    // pkeyload and ftpconnectssh as root, then into the server-side scratch folder.
    std::string login(const test::TestKeyFile& key = protected_key()) const {
        return "pkeyload \"" + key.path + "\" \"" + key.pass + "\";\n" + "ftpconnectssh \"127.0.0.1\" " +
               std::to_string(port_) + " \"root\" \"\";\n" + "ftpsetpath remote \"" + remote_.path() +
               "\";\n";
    }
    test::ProcessResult run(const std::string& script, std::vector<std::string> options = {}) const {
        return test::run_script_in(local_.path(), script, options, env());
    }

    TempDir config_, home_, local_, remote_;
    int port_ = 0;
};

struct Flavour {
    const char* name;
    bool designed;
};
void PrintTo(const Flavour& flavour, std::ostream* out) {
    *out << flavour.name;
}

class SftpTree : public SftpProcess, public ::testing::WithParamInterface<Flavour> {};

// A tree up and back down, byte for byte and with its times; then the macros that change the server.
TEST_P(SftpTree, RoundTripThenRenameMakeAndDelete) {
    auto sshd = start_sshd(GetParam().designed);
    if (!sshd->running()) GTEST_SKIP() << sshd->why();
    const std::string tree = local_.file("tree");
    fs::create_directories(tree + "/empty");
    fs::create_directories(tree + "/sub");
    write_all(tree + "/65536.bin", random_bytes(65536, 3));
    write_all(tree + "/zero.bin", "");
    write_all(tree + "/sub/random.bin", random_bytes(1 << 20, 4));
    const std::map<std::string, time_t> times = {
        {"65536.bin", 1500000000}, {"zero.bin", 1500003600}, {"sub/random.bin", 1600000000}};
    for (const auto& [name, when] : times) set_mtime(tree + "/" + name, when);
    fs::create_directory(local_.file("back"));

    auto r = run(login(GetParam().designed ? plain_key() : protected_key()) +
                 "ftpupload folder \"tree\";\n"
                 "ftpsetpath remote \"tree\";\n"
                 "ftpgetlist remote @l;\n"
                 "foreach $e in @l begin\n"
                 "  print \"entry \" $e.name \" \" $e.size \" \" $e.isfolder;\n"
                 "end\n"
                 "ftpsetpath remote \"" +
                 remote_.path() +
                 "\";\n"
                 "ftpsetpath local \"back\";\n"
                 "ftpdownload folder \"tree\";\n"
                 "ftpdisconnect;\n");
    ASSERT_EQ(r.exit_code, 0) << r.output << sshd->log();
    // The designed flavour really narrowed the choice (the server's own account of it).
    const bool designed_chosen =
        contains(sshd->log(), "kex: client->server cipher: aes128-ctr MAC: hmac-sha1");
    EXPECT_TRUE(designed_chosen || !GetParam().designed) << sshd->log();
    EXPECT_TRUE(contains(r.output, "entry 65536.bin 65536 is a file")) << r.output;
    EXPECT_TRUE(contains(r.output, "entry zero.bin 0 is a file")) << r.output;
    for (const char* folder : {"empty", "sub"})
        EXPECT_TRUE(contains(r.output, std::string("entry ") + folder + " ")) << r.output;
    EXPECT_EQ(tree_of(remote_.file("tree")), tree_of(tree));
    EXPECT_EQ(tree_of(local_.file("back/tree")), tree_of(tree));
    for (const auto& [name, when] : times) {
        EXPECT_EQ(mtime_of(remote_.file("tree/" + name)), when) << "uploaded " << name;
        EXPECT_EQ(mtime_of(local_.file("back/tree/" + name)), when) << "downloaded " << name;
    }

    r = run(login() +
            "ftprename remote \"tree/zero.bin\" \"moved.bin\";\n"
            "ftpmakefolder remote \"made\";\n"
            "ftpdelete remote file \"moved.bin\";\n"
            "ftpdelete remote folder \"tree\";\n"
            "ftpdisconnect;\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(tree_of(remote_.path()), (std::map<std::string, std::string>{{"made", "/"}})) << r.output;
    EXPECT_FALSE(contains(r.output, protected_key().pass)) << r.output;
}

INSTANTIATE_TEST_SUITE_P(Sshd, SftpTree,
                         ::testing::Values(Flavour{"designed_algorithms", true}, Flavour{"stock", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A resume keeps what the target already holds and appends the rest: a marked prefix shows that
// nothing before it was sent again. Equal files are skipped; rename keeps the old file as ".fbak".
TEST_F(SftpProcess, ResumeSkipAndRenameRules) {
    auto sshd = start_sshd(false);
    if (!sshd->running()) GTEST_SKIP() << sshd->why();
    const std::string data = random_bytes(300000, 5);
    const std::string marked_prefix(70000, 'M');
    write_all(remote_.file("down.bin"), data);
    write_all(local_.file("down.bin"), marked_prefix);
    write_all(local_.file("up.bin"), data);
    write_all(remote_.file("up.bin"), marked_prefix);
    const std::string transfers = "ftpupload file \"up.bin\";\nftpdownload file \"down.bin\";\n";
    auto r = run("setduperules bysize resume skip overwrite;\n" + login() + transfers + transfers);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    const std::string resumed = marked_prefix + data.substr(marked_prefix.size());
    EXPECT_TRUE(read_all(local_.file("down.bin")) == resumed);
    EXPECT_TRUE(read_all(remote_.file("up.bin")) == resumed);
    // The second pass finds both targets as large as their sources.
    size_t first = r.output.find("Skipping duplicate file based on user defined rules");
    ASSERT_NE(first, std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Skipping duplicate file based on user defined rules", first + 1),
              std::string::npos)
        << r.output;

    // Now every target is as large as its source: each is renamed out of the way, then replaced.
    r = run("setduperules bysize rename rename rename;\n" + login() + transfers);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(read_all(local_.file("down.bin")) == data);
    EXPECT_TRUE(read_all(local_.file("down.bin.fbak")) == resumed);
    EXPECT_TRUE(read_all(remote_.file("up.bin")) == data);
    EXPECT_TRUE(read_all(remote_.file("up.bin.fbak")) == resumed);
}

// The shell with a password login (a user of its own: sshd refuses passwords for root), from a
// command file: with -ssh and the host on the command line, and with "ssh" and "open" in the file.
TEST_F(SftpProcess, ShellCommandFileWithPasswordLogin) {
    test::TestAccount account;
    if (!account.made()) GTEST_SKIP() << account.why();
    auto sshd = start_sshd(false, true);
    if (!sshd->running()) GTEST_SKIP() << sshd->why();
    const std::string data = random_bytes(200000, 6);
    write_all(local_.file("up.bin"), data);
    const std::string host = "127.0.0.1:" + std::to_string(port_);
    auto shell = [&](const std::vector<std::string>& args, const std::string& commands) {
        write_all(local_.file("cmds.txt"), commands);
        std::vector<std::string> all = args;
        all.push_back("-s:" + local_.file("cmds.txt"));
        return test::run_process(test::client_binary(), all, {}, false, std::chrono::seconds(60), env(),
                                 local_.path());
    };
    const std::string answers = account.name() + "\n" + account.password() + "\n";
    auto r = shell({"-ssh", host}, answers +
                                       "put up.bin\n"
                                       "ls\n"
                                       "dir . listing.txt\n"
                                       "get up.bin down.bin\n"
                                       "mkdir made\n"
                                       "rename up.bin made/moved.bin\n"
                                       "put up.bin spare.bin\n"
                                       "delete spare.bin\n"
                                       "bye\n");
    EXPECT_EQ(r.exit_code, 0) << r.output << sshd->log();
    EXPECT_TRUE(read_all(local_.file("down.bin")) == data) << r.output;
    EXPECT_TRUE(read_all(account.home() + "/made/moved.bin") == data) << r.output;
    EXPECT_FALSE(fs::exists(account.home() + "/up.bin"));
    EXPECT_FALSE(fs::exists(account.home() + "/spare.bin"));
    EXPECT_TRUE(contains(read_all(local_.file("listing.txt")), "up.bin")) << r.output;
    EXPECT_FALSE(contains(r.output, account.password())) << r.output;

    r = shell({}, "ssh\nopen 127.0.0.1 " + std::to_string(port_) + "\n" + answers +
                      "get made/moved.bin again.bin\nbye\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "SSH (SFTP) enabled")) << r.output;
    EXPECT_TRUE(read_all(local_.file("again.bin")) == data) << r.output;

    // A refused password: an error line (its level shows as the log file's tag), and the run stops.
    r = shell({"-ssh", host, "-log", local_.file("wrong.log")},
              account.name() + "\nwrong-password\nget made/moved.bin wrong.bin\nbye\n");
    const std::string log = read_all(local_.file("wrong.log"));
    EXPECT_EQ(r.exit_code, 1) << log;
    EXPECT_TRUE(contains(log, "[ERR] Authentication failed (as ")) << log;
    EXPECT_FALSE(contains(log, "An error occured during key exchange")) << log;
    EXPECT_FALSE(fs::exists(local_.file("wrong.bin")));
    EXPECT_FALSE(contains(log, "wrong-password")) << log;
}

// The server's processes die while a download is under way (a sparse remote file of 1 GiB, far more
// than can move before the test sees the first bytes arrive): the statement fails as soon as the
// connection closes, the later ones fail at once, and the run ends with a failure.
TEST_F(SftpProcess, ServerGoneMidDownloadFailsTheRun) {
    auto sshd = start_sshd(false);
    if (!sshd->running()) GTEST_SKIP() << sshd->why();
    const uintmax_t size = uintmax_t{1} << 30;
    fs::resize_file((write_all(remote_.file("big.bin"), ""), remote_.file("big.bin")), size);
    const std::string target = local_.file("big.bin");
    test::ProcessResult r;
    std::thread client([&] {
        r = run(login() +
                    "ftpdownload file \"big.bin\";\n"
                    "ftpgetlist remote @l;\n"
                    "print \"reached the end\";\n",
                {"-timeout", "10"});
    });
    bool started = test::wait_until(
        [&] {
            std::error_code ec;
            return fs::file_size(target, ec) > 0 && !ec;
        },
        std::chrono::seconds(30));
    sshd->kill_sessions();
    client.join();
    ASSERT_TRUE(started) << r.output;
    std::error_code ec;
    EXPECT_LT(fs::file_size(target, ec), size) << "the download ended before the server was stopped";
    EXPECT_NE(r.exit_code, 0) << r.output;
    EXPECT_NE(r.exit_code, -1) << "the client had to be killed:\n" << r.output;
    EXPECT_TRUE(contains(r.output, "reached the end")) << r.output;
    EXPECT_TRUE(contains(r.output, "Script did not complete correctly.")) << r.output;
    // The closed connection is what ended it, not the silence that follows.
    EXPECT_FALSE(contains(r.output, "did not answer within")) << r.output;
}

// proxyhttp before ftpconnectssh: through an open tinyproxy, and through one that asks for Basic
// authentication, which refuses missing credentials (407) and wrong ones (401).
TEST_F(SftpProcess, HttpProxyOpenAndWithBasicAuthentication) {
    auto sshd = start_sshd(false);
    if (!sshd->running()) GTEST_SKIP() << sshd->why();
    test::ProxyServer open_proxy, auth_proxy;
    if (open_proxy.start() != 0) GTEST_SKIP() << open_proxy.error();
    ASSERT_EQ(auth_proxy.start("proxyuser", "proxy-Pw-123"), 0) << auth_proxy.error();
    const std::string data = random_bytes(150000, 8);
    write_all(local_.file("p.bin"), data);
    const std::string round_trip =
        "ftpupload file \"p.bin\";\nftpdownload file \"p.bin\" \"p-back.bin\";\nftpdisconnect;\n";
    auto proxy = [](const test::ProxyServer& p, const std::string& credentials) {
        return "proxyhttp \"127.0.0.1\" " + std::to_string(p.port()) + credentials + ";\n";
    };
    struct Case {
        std::string proxy;
        int exit_code;
    };
    const Case cases[] = {
        {proxy(open_proxy, ""), 0},
        {proxy(auth_proxy, ""), 1},
        {proxy(auth_proxy, " \"proxyuser\" \"not-the-Pw-456\""), 1},
        {proxy(auth_proxy, " \"proxyuser\" \"proxy-Pw-123\""), 0},
    };
    for (const Case& c : cases) {
        fs::remove(local_.file("p-back.bin"));
        fs::remove(remote_.file("p.bin"));
        auto r = run(c.proxy + login() + round_trip);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.proxy << r.output;
        EXPECT_EQ(read_all(local_.file("p-back.bin")) == data, c.exit_code == 0) << c.proxy << r.output;
        bool refused = contains(r.output, "The proxy server rejected the request to connect");
        EXPECT_EQ(refused, c.exit_code != 0) << r.output;
        EXPECT_FALSE(contains(r.output, "proxy-Pw-123")) << r.output;
        EXPECT_FALSE(contains(r.output, "not-the-Pw-456")) << r.output;
    }
}

// The host-key check never fails open: with no file to record new hosts in, or one too large to
// read, the connect is refused before a login, with the reason; a relative ORVANE_KNOWN_HOSTS is
// a file in the working folder.
TEST_F(SftpProcess, KnownHostsThatCannotBeUsedRefuseTheConnect) {
    auto sshd = start_sshd(false);
    if (!sshd->running()) GTEST_SKIP() << sshd->why();
    std::string big(17u << 20, '#');
    big.back() = '\n';
    write_all(home_.file("big_known_hosts"), big);
    const std::string script = login() + "print \"connected\";\n";
    struct Case {
        const char* what;
        std::vector<std::string> env;
        const char* says;  // null: connects
    } cases[] = {
        {"no HOME, XDG_CONFIG_HOME or ORVANE_KNOWN_HOSTS",
         {"HOME=", "XDG_CONFIG_HOME=", "ORVANE_KNOWN_HOSTS="},
         "set ORVANE_KNOWN_HOSTS, XDG_CONFIG_HOME or HOME"},
        {"an own file over 16 MiB",
         {"HOME=" + home_.path(), "ORVANE_KNOWN_HOSTS=" + home_.file("big_known_hosts")},
         "larger than 16 MiB"},
        {"a relative own file",
         {"HOME=" + home_.path(), "XDG_CONFIG_HOME=", "ORVANE_KNOWN_HOSTS=known_hosts"},
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::ProcessResult r = test::run_script_in(local_.path(), script, {}, c.env);
        if (c.says == nullptr) {
            EXPECT_EQ(r.exit_code, 0) << r.output;
            EXPECT_TRUE(contains(r.output, "connected")) << r.output;
            ASSERT_TRUE(fs::is_regular_file(local_.file("known_hosts"))) << r.output;
            EXPECT_TRUE(
                contains(read_all(local_.file("known_hosts")), "[127.0.0.1]:" + std::to_string(port_)));
            continue;
        }
        EXPECT_NE(r.exit_code, 0) << r.output;
        EXPECT_TRUE(contains(r.output, "Host keys cannot be checked")) << r.output;
        EXPECT_TRUE(contains(r.output, c.says)) << r.output;
        EXPECT_FALSE(contains(sshd->log(), "Accepted publickey")) << sshd->log();
    }
    EXPECT_EQ(fs::file_size(home_.file("big_known_hosts")), big.size());
}

}  // namespace
}  // namespace orvane
