// Known hosts: first use recorded, match accepted, a changed or revoked key refused with the file
// and line to edit; plain, pattern, "[host]:port" and hashed entries (hashed by ssh-keygen -H).
#include "client/ssh/known_hosts.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "client/ssh/ssh_key.h"
#include "common/log.h"
#include "tests/client/ssh/ssh_test_keys.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane::ssh {
namespace {

struct Messages {
    std::string text;
    std::vector<int> levels;
};

void collect(void* user, const char* text, int level, int /*line_end*/) {
    auto* messages = static_cast<Messages*>(user);
    messages->text += std::string(text) + "\n";
    messages->levels.push_back(level);
}

std::string entry(const std::string& names, const test::TestKeyFile& key) {
    return names + " " + key_type_name(key.kind) + " " + base64_encode(key.public_blob) + " comment\n";
}

TEST(KnownHosts, Rules) {
    const test::TestKeyFile& key = test::test_key_file("ed25519-openssh");
    const test::TestKeyFile& other = test::test_key_file("ed25519-openssh-enc");
    const test::TestKeyFile& rsa = test::test_key_file("rsa-openssh");
    const std::string fingerprint = fingerprint_sha256(key.public_blob);
    struct Case {
        const char* what;
        std::string user_text, own_text;
        std::string host;
        uint16_t port;
        bool hash_user_file;  // run ssh-keygen -H over the user's file first
        int status;
        int level;                      // warning: a new host (then the info line); info: a known one
        std::vector<std::string> says;  // in the error, or in the message
        std::string own_after;          // what the own file holds afterwards ("=": unchanged)
    } cases[] = {
        {"first use",
         "",
         "",
         "Server.Example",
         22,
         false,
         0,
         kLevelWarning,
         {"server.example", "ssh-ed25519", fingerprint, "recorded in"},
         "server.example ssh-ed25519 " + base64_encode(key.public_blob) + "\n"},
        {"first use on another port",
         "",
         "# mine\n",
         "server.example",
         2222,
         false,
         0,
         kLevelWarning,
         {"[server.example]:2222"},
         "# mine\n[server.example]:2222 ssh-ed25519 " + base64_encode(key.public_blob) + "\n"},
        {"match in the own file",
         "",
         entry("server.example", key),
         "server.example",
         22,
         false,
         0,
         kLevelInfo,
         {fingerprint},
         "="},
        {"match by pattern",
         entry("*.example.org,!bad.example.org", key),
         "",
         "a.example.org",
         22,
         false,
         0,
         kLevelInfo,
         {fingerprint},
         ""},
        {"negated pattern",
         entry("*.example.org,!bad.example.org", other),
         "",
         "bad.example.org",
         22,
         false,
         0,
         kLevelWarning,
         {"recorded in"},
         "bad.example.org ssh-ed25519 " + base64_encode(key.public_blob) + "\n"},
        {"match with port",
         entry("[server.example]:2222", key),
         "",
         "server.example",
         2222,
         false,
         0,
         kLevelInfo,
         {fingerprint},
         ""},
        {"only another key type recorded: an impostor offering none of the recorded types",
         entry("server.example", rsa),
         "",
         "server.example",
         22,
         false,
         1,
         0,
         {"has changed", "only a ssh-ed25519 key " + fingerprint,
          "ssh-rsa " + fingerprint_sha256(rsa.public_blob), "user_known_hosts line 1"},
         ""},
        {"changed key",
         "",
         "# first\n\n" + entry("server.example", other),
         "server.example",
         22,
         false,
         1,
         0,
         {"server.example", fingerprint, fingerprint_sha256(other.public_blob), "known_hosts line 3",
          "remove line 3"},
         "="},
        {"changed key beside a match",
         entry("server.example", other),
         entry("server.example", key),
         "server.example",
         22,
         false,
         0,
         kLevelInfo,
         {fingerprint},
         "="},
        {"hashed match",
         entry("server.example", rsa) + entry("server.example", key),
         "",
         "server.example",
         22,
         true,
         0,
         kLevelInfo,
         {fingerprint},
         ""},
        {"hashed match with port",
         entry("[server.example]:2222", key),
         "",
         "server.example",
         2222,
         true,
         0,
         kLevelInfo,
         {fingerprint},
         ""},
        {"hashed changed key",
         entry("elsewhere", key) + entry("server.example", other),
         "",
         "server.example",
         22,
         true,
         1,
         0,
         {"user_known_hosts line 2", fingerprint_sha256(other.public_blob)},
         ""},
        {"revoked key",
         "@revoked * " + std::string(key_type_name(key.kind)) + " " + base64_encode(key.public_blob) + "\n",
         entry("server.example", key),
         "server.example",
         22,
         false,
         1,
         0,
         {"revoked", "user_known_hosts line 1"},
         "="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        KnownHostsFiles files{dir.file("user_known_hosts"), dir.file("config/orvane/known_hosts")};
        if (!c.user_text.empty()) test::write_all(files.user_file, c.user_text);
        if (!c.own_text.empty()) {
            std::filesystem::create_directories(dir.file("config/orvane"));
            test::write_all(files.own_file, c.own_text);
        }
        if (c.hash_user_file) {
            test::ProcessResult r = test::run_process("/usr/bin/ssh-keygen", {"-H", "-f", files.user_file});
            ASSERT_EQ(r.exit_code, 0) << r.output;
            ASSERT_EQ(test::file_text(files.user_file).rfind("|1|", 0), 0u);
        }
        Messages messages;
        std::string error;
        EXPECT_EQ(check_known_host(files, c.host, c.port, key.public_blob, collect, &messages, error),
                  c.status);
        const std::string& said = c.status == 0 ? messages.text : error;
        for (const std::string& part : c.says)
            EXPECT_NE(said.find(part), std::string::npos) << part << " in " << said;
        if (c.level == kLevelWarning) {
            EXPECT_EQ(messages.levels, (std::vector<int>{kLevelWarning, kLevelInfo})) << messages.text;
        } else if (c.status == 0) {
            EXPECT_EQ(messages.levels, std::vector<int>{kLevelInfo}) << messages.text;
        } else {
            EXPECT_TRUE(messages.levels.empty()) << messages.text;
        }
        EXPECT_EQ(test::file_text(files.own_file), c.own_after == "=" ? c.own_text : c.own_after);
    }
}

// The check never fails open: whatever keeps a file from being read, or a new host from being
// recorded, refuses the key with the reason, and nothing is written.
TEST(KnownHosts, AFileThatCannotBeUsedRefusesEveryKey) {
    const test::TestKeyFile& key = test::test_key_file("ecdsa-openssh");
    test::TempDir dir;
    test::write_all(dir.file("plain-file"), "");
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    std::filesystem::create_directories(dir.file("locked"));
    std::filesystem::permissions(dir.file("locked"),
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    std::string big(17u << 20, '#');
    big.back() = '\n';
    test::write_all(dir.file("big"), big);
    struct Case {
        const char* what;
        KnownHostsFiles files;
        const char* says;
    } cases[] = {
        {"no own file at all", {"", ""}, "set ORVANE_KNOWN_HOSTS, XDG_CONFIG_HOME or HOME"},
        {"own file under a plain file", {"", dir.file("plain-file/known_hosts")}, "cannot make the folder"},
        {"own file in a folder without write access", {"", dir.file("locked/known_hosts")}, "cannot write"},
        {"own file over 16 MiB", {"", dir.file("big")}, "larger than 16 MiB"},
        {"user file over 16 MiB", {dir.file("big"), dir.file("own")}, "larger than 16 MiB"},
        {"own file a FIFO", {"", dir.file("fifo")}, "not a regular file"},
        {"user file a FIFO", {dir.file("fifo"), dir.file("own")}, "not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (::geteuid() == 0 && std::string(c.what).find("write access") != std::string::npos) continue;
        Messages messages;
        std::string error;
        EXPECT_EQ(check_known_host(c.files, "host", 22, key.public_blob, collect, &messages, error), 1);
        EXPECT_NE(error.find("Host keys cannot be checked"), std::string::npos) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_TRUE(messages.text.empty()) << messages.text;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("own")));
    EXPECT_EQ(std::filesystem::file_size(dir.file("big")), big.size());
    // A policy that was never loaded refuses too.
    KnownHostsPolicy unloaded;
    std::string refusal;
    EXPECT_EQ(unloaded.check("host", 22, key.public_blob, refusal), 1);

    KnownHostsFiles files{"", dir.file("own")};
    Messages messages;
    std::string error;
    for (const char* host : {"two words", "a,b", "line\nbreak"}) {
        EXPECT_EQ(check_known_host(files, host, 22, key.public_blob, collect, &messages, error), 1) << host;
        EXPECT_NE(error.find("cannot be checked"), std::string::npos);
    }
}

// A relative ORVANE_KNOWN_HOSTS is a file in the working folder, not a folder of that name; the
// types recorded for a host are what the key exchange asks for first.
TEST(KnownHosts, RelativeOwnFileAndRecordedTypes) {
    test::TempDir dir;
    std::filesystem::path was = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    ::setenv("ORVANE_KNOWN_HOSTS", "known_hosts", 1);
    KnownHostsFiles files = default_known_hosts_files();
    std::filesystem::current_path(was);
    ::unsetenv("ORVANE_KNOWN_HOSTS");
    EXPECT_EQ(files.own_file, dir.file("known_hosts"));
    const test::TestKeyFile& key = test::test_key_file("ed25519-openssh");
    const test::TestKeyFile& rsa = test::test_key_file("rsa-openssh");
    Messages messages;
    std::string error;
    ASSERT_EQ(check_known_host(files, "host", 2222, key.public_blob, collect, &messages, error), 0) << error;
    EXPECT_TRUE(std::filesystem::is_regular_file(files.own_file));
    EXPECT_NE(messages.text.find("recorded in " + files.own_file), std::string::npos) << messages.text;

    test::write_all(dir.file("user"), entry("[host]:2222", rsa) + "@revoked [host]:2222 ssh-dss AAAA\n");
    files.user_file = dir.file("user");
    KnownHostsPolicy policy;
    ASSERT_EQ(policy.load(files, collect, &messages), 0) << policy.load_error();
    EXPECT_EQ(policy.recorded_types("HOST", 2222), (std::vector<std::string>{"ssh-rsa", "ssh-ed25519"}));
    EXPECT_TRUE(policy.recorded_types("host", 22).empty());
}

TEST(KnownHosts, FilesComeFromTheEnvironment) {
    struct Case {
        const char* home;
        const char* xdg;
        const char* own;
        std::string user_file, own_file;
    } cases[] = {
        {"/home/u", nullptr, nullptr, "/home/u/.ssh/known_hosts", "/home/u/.config/orvane/known_hosts"},
        {"/home/u/", "/cfg", nullptr, "/home/u/.ssh/known_hosts", "/cfg/orvane/known_hosts"},
        {"/home/u", "relative", nullptr, "/home/u/.ssh/known_hosts", "/home/u/.config/orvane/known_hosts"},
        {"/home/u", "/cfg", "/etc/orvane_hosts", "/home/u/.ssh/known_hosts", "/etc/orvane_hosts"},
        {nullptr, nullptr, "/abs/hosts", "", "/abs/hosts"},
        {nullptr, nullptr, nullptr, "", ""},
    };
    for (const Case& c : cases) {
        for (auto [name, value] :
             {std::pair{"HOME", c.home}, {"XDG_CONFIG_HOME", c.xdg}, {"ORVANE_KNOWN_HOSTS", c.own}}) {
            if (value != nullptr)
                ::setenv(name, value, 1);
            else
                ::unsetenv(name);
        }
        KnownHostsFiles files = default_known_hosts_files();
        EXPECT_EQ(files.user_file, c.user_file);
        EXPECT_EQ(files.own_file, c.own_file);
    }
}

}  // namespace
}  // namespace orvane::ssh
