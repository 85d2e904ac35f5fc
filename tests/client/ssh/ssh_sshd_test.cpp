// The session against a real OpenSSH server ("sshd -i" over pipes): version exchange,
// compatibility match, KEXINIT both ways and the choice, up to the server's first key-exchange
// reply, where the probe run stops (the methods themselves are not part of the transport).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "client/ssh/known_hosts.h"
#include "client/ssh/ssh_filter.h"
#include "client/ssh/ssh_key.h"
#include "client/ssh/ssh_messages.h"
#include "common/base64.h"
#include "common/log.h"
#include "tests/client/ssh/ssh_test_keys.h"
#include "tests/client/ssh/ssh_test_peer.h"
#include "tests/support/sshd_server.h"

namespace orvane::ssh {
namespace {

struct Lines {
    std::vector<std::pair<int, std::string>> all;
};
void collect(void* user, const char* text, int level, int) {
    static_cast<Lines*>(user)->all.emplace_back(level, text);
}

// Pumps bytes both ways until the session has failed and the server has ended.
void pump(SshSession& session, ::orvane::test::SshdInetd& sshd) {
    for (int round = 0; round < 200 && !sshd.ended(); ++round) {
        std::string out = session.network_output().contents();
        session.network_output().clear();
        if (!out.empty() && !sshd.write(out)) break;
        if (session.session_error() != 0 && out.empty()) break;
        std::string in = sshd.read();
        if (in.empty() && !sshd.ended()) continue;
        size_t offset = 0;
        while (offset < in.size()) {
            size_t n =
                session.put_network(reinterpret_cast<const uint8_t*>(in.data()) + offset, in.size() - offset);
            if (n == 0) break;
            offset += n;
        }
    }
}

TEST(SshSessionSshd, NegotiatesWithOpenSsh) {
    struct Case {
        std::vector<std::string> config;
        const char* kex;
        const char* cipher;
        const char* mac;  // "" for an AEAD cipher
        int reply;        // the server's answer to the probe's first message
    } cases[] = {
        {{}, "curve25519-sha256", "aes128-ctr", "hmac-sha1", 31},
        {{"KexAlgorithms diffie-hellman-group14-sha1", "Ciphers aes256-gcm@openssh.com", "Compression yes"},
         "diffie-hellman-group14-sha1",
         "aes256-gcm@openssh.com",
         "",
         31},
        {{"KexAlgorithms diffie-hellman-group-exchange-sha256", "Ciphers chacha20-poly1305@openssh.com"},
         "diffie-hellman-group-exchange-sha256",
         "chacha20-poly1305@openssh.com",
         "",
         31},
        {{"Ciphers aes256-cbc,3des-cbc", "MACs hmac-sha2-512-etm@openssh.com"},
         "curve25519-sha256",
         "3des-cbc",
         "hmac-sha2-512-etm@openssh.com",
         31},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kex);
        ::orvane::test::SshdInetd sshd(c.config);
        if (!sshd.running()) GTEST_SKIP() << sshd.why();
        Lines lines;
        FilterConfig config;
        config.log = &collect;
        config.log_user = &lines;
        SshSession session(config, test::probe_kex_parts());
        test::reset_probe();
        ASSERT_EQ(session.start(), 0);
        pump(session, sshd);

        EXPECT_EQ(session.server_identification().rfind("SSH-2.0-OpenSSH_", 0), 0u)
            << session.server_identification();
        EXPECT_EQ(session.compat(), 0u);  // the row "OpenSSH*"
        const Negotiated& n = session.negotiated();
        EXPECT_EQ(n.kex, c.kex);
        EXPECT_EQ(n.host_key, "ssh-ed25519");
        ASSERT_NE(n.cipher[0], nullptr);
        EXPECT_STREQ(n.cipher[0]->name, c.cipher);
        EXPECT_STREQ(n.cipher[1]->name, c.cipher);
        EXPECT_STREQ(n.mac[0] ? n.mac[0]->name : "", c.mac);
        EXPECT_EQ(n.compression_name[0], "none");
        EXPECT_TRUE(session.strict_kex());
        EXPECT_EQ(test::probe_reply(), c.reply);
        EXPECT_EQ(session.session_error(), kErrorKeyExchange);
        EXPECT_NE(session.error_text().find("the probe goes no further"), std::string::npos);
        std::string log = sshd.log();
        EXPECT_NE(log.find("remote software version FendrelSSH_1.0"), std::string::npos) << log;
        // The server read our DISCONNECT, not a broken packet.
        EXPECT_NE(log.find("disconnecting"), std::string::npos) << log;
    }
}

}  // namespace
}  // namespace orvane::ssh

namespace orvane::ssh {
namespace {

int g_auth_reply = -1;  // the first authentication message the server answered with

// Sends a "none" request and records the first answer.
class NoneRequest final : public SshService {
  public:
    int start(SshSession& session) override {
        SshBuffer request;
        request.put_byte(msg::kUserauthRequest);
        request.put_string("nobody");
        request.put_string("ssh-connection");
        request.put_string("none");
        return session.send_payload(request.view());
    }
    int message(SshSession&, SshBuffer& payload) override {
        if (g_auth_reply < 0) g_auth_reply = payload.get_byte();
        return 0;
    }
};

// Carries bytes both ways until the authentication request is answered, the session fails or
// sshd ends.
void exchange_until_auth_reply(SshSession& session, ::orvane::test::SshdInetd& sshd) {
    for (int round = 0; round < 100 && g_auth_reply < 0 && session.session_error() == 0 && !sshd.ended();
         ++round) {
        std::string out = session.network_output().contents();
        session.network_output().clear();
        if (!out.empty() && !sshd.write(out)) break;
        std::string in = sshd.read();
        if (!in.empty()) session.put_network(reinterpret_cast<const uint8_t*>(in.data()), in.size());
    }
}

// With the real key-exchange methods: keys in use both ways under each cipher and MAC OpenSSH
// offers, shown by SERVICE_ACCEPT and the server's answer to an authentication request.
TEST(SshSessionSshd, KeysUpWithOpenSshUnderEachCipherAndMac) {
    struct Case {
        std::vector<std::string> config;
        const char* cipher;
        const char* mac;
    } cases[] = {
        {{}, "aes128-ctr", "hmac-sha1"},
        {{"Ciphers aes256-gcm@openssh.com"}, "aes256-gcm@openssh.com", ""},
        {{"Ciphers aes128-gcm@openssh.com", "KexAlgorithms diffie-hellman-group14-sha1"},
         "aes128-gcm@openssh.com",
         ""},
        {{"Ciphers chacha20-poly1305@openssh.com", "KexAlgorithms diffie-hellman-group-exchange-sha256"},
         "chacha20-poly1305@openssh.com",
         ""},
        {{"Ciphers aes128-cbc", "MACs hmac-md5"}, "aes128-cbc", "hmac-md5"},
        {{"Ciphers 3des-cbc", "MACs hmac-sha2-512-etm@openssh.com"},
         "3des-cbc",
         "hmac-sha2-512-etm@openssh.com"},
        {{"Ciphers aes192-ctr", "MACs hmac-sha1-etm@openssh.com", "KexAlgorithms ecdh-sha2-nistp256"},
         "aes192-ctr",
         "hmac-sha1-etm@openssh.com"},
        {{"Ciphers aes256-ctr", "MACs hmac-sha2-256-etm@openssh.com"},
         "aes256-ctr",
         "hmac-sha2-256-etm@openssh.com"},
        {{"Ciphers aes192-cbc,aes256-cbc", "MACs hmac-sha2-512,hmac-sha1-96"}, "aes192-cbc", "hmac-sha1-96"},
        {{"Ciphers aes256-cbc", "MACs hmac-sha2-256,hmac-md5-96"}, "aes256-cbc", "hmac-md5-96"},
        {{"MACs hmac-sha2-256"}, "aes128-ctr", "hmac-sha2-256"},
        {{"MACs hmac-sha2-512"}, "aes128-ctr", "hmac-sha2-512"},
    };
    ::orvane::test::TempDir known;
    KnownHostsPolicy policy;
    policy.load({"", known.file("known_hosts")}, &collect, nullptr);
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.cipher) + " " + c.mac);
        ::orvane::test::SshdInetd sshd(c.config);
        if (!sshd.running()) GTEST_SKIP() << sshd.why();
        Lines lines;
        FilterConfig config;
        config.host = "sshd-" + std::to_string(index++);  // a new host key each time
        config.log = &collect;
        config.log_user = &lines;
        config.host_key = policy.decision();
        SshSession session(config, ssh_parts());
        session.set_service(std::make_unique<NoneRequest>());
        g_auth_reply = -1;
        ASSERT_EQ(session.start(), 0);
        exchange_until_auth_reply(session, sshd);
        EXPECT_EQ(session.key_exchanges(), 1);
        ASSERT_EQ(session.session_error(), 0) << session.error_text() << "\n" << sshd.log();
        EXPECT_STREQ(session.negotiated().cipher[0]->name, c.cipher);
        EXPECT_STREQ(session.negotiated().mac[1] ? session.negotiated().mac[1]->name : "", c.mac);
        EXPECT_EQ(session.state(), SshState::kUserAuth);
        EXPECT_EQ(g_auth_reply, 51);  // USERAUTH_FAILURE: "none" is not enough
        EXPECT_FALSE(session.server_sig_algs().empty());
    }
}

// Host keys against a real server that holds two: the ed25519 key OpenSSH recorded in
// ~/.ssh/known_hosts is the one asked for (our own order would take RSA), matched on the first
// connect with no warning; a server showing only RSA for a host recorded with ed25519 is refused
// in the key exchange, before any login, naming both fingerprints.
TEST(SshSessionSshd, RecordedKeyTypesComeFirstAndOthersAreRefused) {
    const ::orvane::test::TestKeyFile& rsa = ::orvane::test::test_key_file("rsa-openssh");
    struct Case {
        const char* what;
        std::vector<std::string> config;
        bool accepted;
    } cases[] = {
        {"the recorded type is offered", {"HostKey " + rsa.path}, true},
        {"an impostor offers only RSA",
         {"HostKey " + rsa.path, "HostKeyAlgorithms rsa-sha2-512,rsa-sha2-256,ssh-rsa"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::orvane::test::SshdInetd sshd(c.config);
        if (!sshd.running()) GTEST_SKIP() << sshd.why();
        // The line ssh-keygen wrote for the server's ed25519 key, as OpenSSH records it ("type key
        // comment"); the impostor does not offer that key.
        std::string recorded = sshd.host_key_line();
        ASSERT_EQ(recorded.rfind("ssh-ed25519 ", 0), 0u) << recorded;
        std::string recorded_blob;
        ASSERT_EQ(base64_decode(recorded.substr(12, recorded.find(' ', 12) - 12), recorded_blob), 0);
        ::orvane::test::TempDir home;
        std::filesystem::create_directories(home.file(".ssh"));
        ::orvane::test::write_all(
            home.file(".ssh/known_hosts"),
            "other.example ssh-rsa " + base64_encode(rsa.public_blob) + "\nsshd-known " + recorded);
        ::setenv("HOME", home.path().c_str(), 1);
        ::unsetenv("XDG_CONFIG_HOME");
        ::unsetenv("ORVANE_KNOWN_HOSTS");
        KnownHostsPolicy policy;
        Lines lines;
        ASSERT_EQ(policy.load(default_known_hosts_files(), &collect, &lines), 0) << policy.load_error();
        FilterConfig filter;
        filter.host = "sshd-known";
        filter.log = &collect;
        filter.log_user = &lines;
        filter.host_key = policy.decision();
        SshSession session(filter, ssh_parts());
        session.set_service(std::make_unique<NoneRequest>());
        g_auth_reply = -1;
        ASSERT_EQ(session.start(), 0);
        exchange_until_auth_reply(session, sshd);
        EXPECT_EQ(policy.record_new_host(), 0);
        EXPECT_EQ(::orvane::test::file_text(home.file(".config/orvane/known_hosts")), "")
            << "nothing new is recorded";
        std::string said;
        for (const auto& [level, text] : lines.all) {
            said += text + "\n";
            EXPECT_NE(level, kLevelWarning) << text;
        }
        if (c.accepted) {
            ASSERT_EQ(session.session_error(), 0) << session.error_text() << "\n" << sshd.log();
            EXPECT_EQ(session.negotiated().host_key, "ssh-ed25519");
            EXPECT_NE(said.find("Host key of sshd-known: ssh-ed25519 " + fingerprint_sha256(recorded_blob)),
                      std::string::npos)
                << said;
            EXPECT_EQ(g_auth_reply, 51);
        } else {
            EXPECT_EQ(session.session_error(), kErrorKeyExchange);
            EXPECT_EQ(session.failure().kind, FailureKind::kUser);
            for (const std::string& part :
                 {std::string("has changed"), fingerprint_sha256(rsa.public_blob),
                  fingerprint_sha256(recorded_blob), home.file(".ssh/known_hosts") + " line 2"})
                EXPECT_NE(session.error_text().find(part), std::string::npos)
                    << part << " in " << session.error_text();
            EXPECT_EQ(g_auth_reply, -1) << "no login was tried";
        }
    }
}

}  // namespace
}  // namespace orvane::ssh
