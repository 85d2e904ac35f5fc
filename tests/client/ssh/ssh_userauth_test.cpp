// User authentication against our scripted SSH server, for what a local sshd cannot be made to do
// without a system account: password and keyboard-interactive, banners, partial success, a
// password change request, method lists in capitals, a server without "server-sig-algs", hostile
// answers and a server that never answers. The order of requests is checked message by message.
#include "client/ssh/ssh_userauth.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "tests/client/ssh/ssh_test_keys.h"
#include "tests/client/ssh/ssh_test_peer.h"
#include "tests/support/log_lines.h"

namespace orvane::ssh {
namespace {

constexpr const char* kPassword = "pw-s3cret";

std::string failure(const std::string& methods, bool partial = false) {
    SshBuffer b;
    b.put_byte(51);
    b.put_string(methods);
    b.put_bool(partial);
    return std::string(b.view());
}
const std::string kSuccess(1, char(52));
const std::string kPkOk = "PK_OK";  // the server echoes the offered key
std::string banner(const std::string& text) {
    SshBuffer b;
    b.put_byte(53);
    b.put_string(text);
    b.put_string("");
    return std::string(b.view());
}
std::string info_request(const std::vector<std::string>& prompts) {
    SshBuffer b;
    b.put_byte(60);
    b.put_string("Login");
    b.put_string("");
    b.put_string("");
    b.put_u32(static_cast<uint32_t>(prompts.size()));
    for (const std::string& p : prompts) {
        b.put_string(p);
        b.put_bool(false);
    }
    return std::string(b.view());
}
std::string change_request() {
    SshBuffer b;
    b.put_byte(60);
    b.put_string("Your password has expired");
    b.put_string("");
    return std::string(b.view());
}
std::string global_request() {
    SshBuffer b;
    b.put_byte(80);
    b.put_string("keepalive@openssh.com");
    b.put_bool(true);
    return std::string(b.view());
}

// The server's side: each request (50 or 61) is written down and answered with the next turn.
struct AuthScript {
    std::vector<std::vector<std::string>> turns;
    std::vector<std::string> requests;
    size_t next = 0;

    void answer(test::ScriptedServer& server, SshBuffer& payload) {
        uint8_t number = payload.get_byte();
        std::string algorithm, blob;
        if (number == 50) {
            payload.get_string();  // user
            payload.get_string();  // service
            std::string method(payload.get_string());
            if (method == "publickey") {
                bool signed_request = payload.get_bool();
                algorithm = payload.get_string();
                blob = payload.get_string();
                requests.push_back((signed_request ? "signed " : "query ") + algorithm);
            } else if (method == "password") {
                payload.get_bool();
                requests.push_back("password " + std::string(payload.get_string()));
            } else {
                requests.push_back(method);
            }
        } else if (number == 61) {
            uint32_t count = payload.get_u32();
            std::string first = count > 0 ? std::string(payload.get_string()) : "";
            requests.push_back("answer " + std::to_string(count) + " " + first);
        } else {
            requests.push_back(std::to_string(number));
            return;
        }
        if (next >= turns.size()) return;  // silence
        for (const std::string& message : turns[next]) {
            if (message != kPkOk) {
                server.send(message);
                continue;
            }
            SshBuffer ok;
            ok.put_byte(60);
            ok.put_string(algorithm);
            ok.put_string(blob);
            server.send(ok.view());
        }
        ++next;
    }
};

using Log = ::orvane::test::LogLines;

TEST(SshUserauth, MethodOrderAndAnswers) {
    struct Case {
        const char* name;
        const char* key;  // test key form, or none
        std::vector<std::vector<std::string>> turns;
        std::vector<std::string> requests;
        const char* error;  // nullptr: logged in
        const char* logged = nullptr;
        const char* password = kPassword;
        FailureKind kind = FailureKind::kRemote;  // of a failure: the server's answer, unless malformed
    } cases[] = {
        {"none accepted", "rsa-pem", {{kSuccess}}, {"none"}, nullptr},
        {"password without a key",
         nullptr,
         {{failure("publickey,password")}, {kSuccess}},
         {"none", "password pw-s3cret"},
         nullptr},
        {"methods in capitals",
         nullptr,
         {{failure("PUBLICKEY,Password")}, {kSuccess}},
         {"none", "password pw-s3cret"},
         nullptr},
        {"banner, then failure",
         nullptr,
         {{banner("Welcome\r\n\x1b[2Jhere\n"), failure("password")}, {kSuccess}},
         {"none", "password pw-s3cret"},
         nullptr,
         "\\x1b[2Jhere"},
        {"key accepted",
         "ed25519-openssh",
         {{failure("publickey,password")}, {kPkOk}, {kSuccess}},
         {"none", "query ssh-ed25519", "signed ssh-ed25519"},
         nullptr},
        {"key refused, keyboard-interactive with one prompt",
         "ed25519-openssh",
         {{failure("publickey,keyboard-interactive")},
          {failure("publickey,keyboard-interactive")},
          {info_request({"Password: "})},
          {kSuccess}},
         {"none", "query ssh-ed25519", "keyboard-interactive", "answer 1 pw-s3cret"},
         nullptr},
        {"partial success, then password",
         "ecdsa-openssh",
         {{failure("publickey")}, {kPkOk}, {failure("password", true)}, {kSuccess}},
         {"none", "query ecdsa-sha2-nistp256", "signed ecdsa-sha2-nistp256", "password pw-s3cret"},
         nullptr,
         "wants another: password"},
        {"keyboard-interactive: no prompt, then one",
         nullptr,
         {{failure("keyboard-interactive")}, {info_request({})}, {info_request({"Password:"})}, {kSuccess}},
         {"none", "keyboard-interactive", "answer 0 ", "answer 1 pw-s3cret"},
         nullptr},
        {"keyboard-interactive with two prompts",
         nullptr,
         {{failure("keyboard-interactive")}, {info_request({"Password:", "Code:"})}},
         {"none", "keyboard-interactive"},
         "asks 2 questions"},
        {"password change requested",
         nullptr,
         {{failure("password")}, {change_request()}},
         {"none", "password pw-s3cret"},
         "wants the password changed"},
        {"password refused: keyboard-interactive is not tried with it again",
         nullptr,
         {{failure("password,keyboard-interactive")}, {failure("password,keyboard-interactive")}},
         {"none", "password pw-s3cret"},
         "no method left: the server allows password,keyboard-interactive, tried none, password"},
        {"nothing we can do",
         "rsa-pem",
         {{failure("hostbased,gssapi-with-mic")}},
         {"none"},
         "the server allows hostbased,gssapi-with-mic, tried none"},
        {"publickey without a key",
         nullptr,
         {{failure("publickey")}},
         {"none"},
         "no private key file is set"},
        {"neither key nor password",
         nullptr,
         {{failure("publickey,password,keyboard-interactive")}},
         {"none"},
         "tried none; no private key file is set; no password is set",
         nullptr,
         ""},
        {"PK_OK for another key",
         "ed25519-openssh",
         {{failure("publickey")}, {info_request({})}},
         {"none", "query ssh-ed25519"},
         "USERAUTH_PK_OK for a key that was not offered",
         nullptr,
         kPassword,
         FailureKind::kProtocol},
        {"malformed failure",
         nullptr,
         {{std::string("\x33\xff\xff\xff\xff", 5)}},
         {"none"},
         "malformed",
         nullptr,
         kPassword,
         FailureKind::kProtocol},
        {"success, then a global request wanting a reply",
         nullptr,
         {{kSuccess, global_request()}},
         {"none", "82"},
         nullptr},
        {"a server that never answers", nullptr, {}, {"none"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Log log;
        FilterConfig config;
        config.user = "alice";
        config.password = c.password;
        if (c.key != nullptr) config.private_key_file = ::orvane::test::test_key_file(c.key).path;
        config.log = &Log::collect;
        config.log_user = &log;
        SshSession session(config, test::fake_kex_parts());
        session.set_service(make_userauth_service(session));
        test::ScriptedServer server;
        AuthScript script{c.turns, {}, 0};
        server.on_service = [&](test::ScriptedServer& s, SshBuffer& payload) { script.answer(s, payload); };
        test::exchange(session, server);
        EXPECT_EQ(script.requests, c.requests);
        if (c.error == nullptr) {
            EXPECT_EQ(session.session_error(), 0) << session.error_text();
            // Silence leaves the session waiting; the network core's reply timeout ends it.
            EXPECT_EQ(session.state(), c.turns.empty() ? SshState::kUserAuth : SshState::kConnection);
        } else {
            EXPECT_EQ(session.session_error(), kErrorAuthentication);
            EXPECT_EQ(session.failure().kind, c.kind);
            EXPECT_NE(session.error_text().find(c.error), std::string::npos) << session.error_text();
            EXPECT_TRUE(log.has(kLevelError, "Authentication failed (as \"alice\": "));
        }
        if (c.logged != nullptr) {
            EXPECT_TRUE(log.has(kLevelInfo, c.logged));
        }
        for (const auto& [level, text] : log.lines)
            EXPECT_EQ(text.find(kPassword), std::string::npos) << text;
    }
}

TEST(SshUserauth, RsaKeyFollowsServerSigAlgs) {
    // The scripted server names rsa-sha2-256; without "server-sig-algs" the old ssh-rsa is used.
    for (bool ext_info : {true, false}) {
        FilterConfig config;
        config.user = "alice";
        config.private_key_file = ::orvane::test::test_key_file("rsa-pkcs8").path;
        SshSession session(config, test::fake_kex_parts());
        session.set_service(make_userauth_service(session));
        test::ScriptedServer server;
        server.send_ext_info = ext_info;
        AuthScript script{{{failure("publickey")}, {kPkOk}, {kSuccess}}, {}, 0};
        server.on_service = [&](test::ScriptedServer& s, SshBuffer& payload) { script.answer(s, payload); };
        test::exchange(session, server);
        const char* algorithm = ext_info ? "rsa-sha2-256" : "ssh-rsa";
        EXPECT_EQ(script.requests, (std::vector<std::string>{"none", std::string("query ") + algorithm,
                                                             std::string("signed ") + algorithm}));
        EXPECT_EQ(session.state(), SshState::kConnection) << session.error_text();
    }
}

// Banners are shown up to 64 KiB a session; the rest are dropped with one warning, and the login
// goes on.
TEST(SshUserauth, BannersAreCappedPerSession) {
    Log log;
    FilterConfig config;
    config.user = "alice";
    config.password = kPassword;
    config.log = &Log::collect;
    config.log_user = &log;
    SshSession session(config, test::fake_kex_parts());
    session.set_service(make_userauth_service(session));
    test::ScriptedServer server;
    std::string line(199, 'b');
    std::string text;
    for (int i = 0; i < 10; ++i) text += line + "\n";
    std::vector<std::string> flood(100, banner(text));  // 2,000 bytes each
    flood.push_back(failure("password"));
    AuthScript script{{flood, {kSuccess}}, {}, 0};
    server.on_service = [&](test::ScriptedServer& s, SshBuffer& payload) { script.answer(s, payload); };
    test::exchange(session, server);
    EXPECT_EQ(session.state(), SshState::kConnection) << session.error_text();
    size_t shown = 0, warnings = 0;
    for (const auto& [level, text] : log.lines) {
        if (level == kLevelInfo && text.find(line.substr(0, 10)) == 0) shown += text.size();
        if (level == kLevelWarning) {
            ++warnings;
            EXPECT_NE(text.find("64 KiB"), std::string::npos) << text;
        }
    }
    EXPECT_LE(shown, 64u << 10);
    EXPECT_GT(shown, 63u << 10);
    EXPECT_EQ(warnings, 1u);
}

}  // namespace
}  // namespace orvane::ssh
