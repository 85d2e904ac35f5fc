// The session against a real OpenSSH server ("sshd -i" over pipes): version exchange,
// compatibility match, KEXINIT both ways and the choice, up to the server's first key-exchange
// reply, where the probe run stops (the methods themselves are not part of the transport).
#include <gtest/gtest.h>

#include <string>

#include "client/ssh/ssh_session.h"
#include "common/log.h"
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
    test::install_probe_kex();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kex);
        ::orvane::test::SshdInetd sshd(c.config);
        if (!sshd.running()) GTEST_SKIP() << sshd.why();
        Lines lines;
        FilterConfig config;
        config.log = &collect;
        config.log_user = &lines;
        SshSession session(config);
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
    install_kex_factory(nullptr);
}

}  // namespace
}  // namespace orvane::ssh
