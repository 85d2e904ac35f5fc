// Known hosts: first use recorded, match accepted, a changed or revoked key refused with the file
// and line to edit; plain, pattern, "[host]:port" and hashed entries (hashed by ssh-keygen -H).
#include "client/ssh/known_hosts.h"

#include <gtest/gtest.h>

#include <cstdlib>

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
        {"only another key type recorded",
         entry("server.example", rsa),
         "",
         "server.example",
         22,
         false,
         0,
         kLevelWarning,
         {"recorded in"},
         "server.example ssh-ed25519 " + base64_encode(key.public_blob) + "\n"},
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

TEST(KnownHosts, AHostThatCannotBeRecordedIsStillAcceptedWithAWarning) {
    test::TempDir dir;
    test::write_all(dir.file("plain-file"), "");
    KnownHostsFiles files{"", dir.file("plain-file/known_hosts")};
    const test::TestKeyFile& key = test::test_key_file("ecdsa-openssh");
    Messages messages;
    std::string error;
    EXPECT_EQ(check_known_host(files, "host", 22, key.public_blob, collect, &messages, error), 0);
    EXPECT_NE(messages.text.find("cannot be written"), std::string::npos) << messages.text;
    EXPECT_EQ(messages.levels, (std::vector<int>{kLevelWarning, kLevelInfo}));
    for (const char* host : {"two words", "a,b", "line\nbreak"}) {
        EXPECT_EQ(check_known_host(files, host, 22, key.public_blob, collect, &messages, error), 1) << host;
        EXPECT_NE(error.find("cannot be checked"), std::string::npos);
    }
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
