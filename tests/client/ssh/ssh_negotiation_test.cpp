// Identification lines, the peer compatibility table, our proposal and the choice rule.
#include <gtest/gtest.h>

#include <string>

#include "client/ssh/ssh_compat.h"
#include "client/ssh/ssh_negotiation.h"
#include "client/ssh/ssh_version.h"

namespace orvane::ssh {
namespace {

TEST(SshVersion, IdentificationLines) {
    struct Case {
        std::string line;
        bool matches;
        uint32_t major, minor;
        std::string software, comments;
        int error;  // of the decision
        std::string answer;
    } cases[] = {
        {"SSH-2.0-OpenSSH_9.2p1 Debian-2", true, 2, 0, "OpenSSH_9.2p1", "Debian-2", 0,
         "SSH-2.0-FendrelSSH_1.0"},
        {"SSH-1.99-OpenSSH_3.9p1", true, 1, 99, "OpenSSH_3.9p1", "", 0, "SSH-2.0-FendrelSSH_1.0"},
        {"ssh-2.0-lower", true, 2, 0, "lower", "", 0, "SSH-2.0-FendrelSSH_1.0"},
        {"SSH-1.2-old", true, 1, 2, "old", "", kErrorVersionTooOld, ""},
        {"SSH-3.0-future", true, 3, 0, "future", "", kErrorIdentificationFormat, ""},
        {"SSH-1.5-one", true, 1, 5, "one", "", 0, "SSH-1.5-FendrelSSH_1.0"},
        {"SSH-1.3-one", true, 1, 3, "one", "", 0, "SSH-1.3-FendrelSSH_1.0"},
        {"SSH-2.0-2.0.12 comments here", true, 2, 0, "2.0.12", "comments here", 0, "SSH-2.0-FendrelSSH_1.0"},
        {"SSH-2.0-soft$ware", true, 2, 0, "soft", "", 0, "SSH-2.0-FendrelSSH_1.0"},
        {"SSH-2.0-", false, 0, 0, "", "", 0, ""},
        {"SSH-x.0-soft", false, 0, 0, "", "", 0, ""},
        {"SSH-2-soft", false, 0, 0, "", "", 0, ""},
        {"SSH-junk then SSH-2.0-later", true, 2, 0, "later", "", 0, "SSH-2.0-FendrelSSH_1.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Identification id;
        ASSERT_EQ(parse_identification(c.line, id), c.matches);
        if (!c.matches) continue;
        EXPECT_EQ(id.major, c.major);
        EXPECT_EQ(id.minor, c.minor);
        EXPECT_EQ(id.software, c.software);
        EXPECT_EQ(id.comments, c.comments);
        VersionDecision d = decide_version(id);
        EXPECT_EQ(d.error, c.error);
        EXPECT_EQ(d.answer, c.answer);
    }
}

TEST(SshVersion, LinesBeforeTheIdentification) {
    std::string waiting = "Welcome\r\n\nSSH-2.0-x\r\nrest";
    VersionLine a = next_version_line(waiting);
    EXPECT_EQ(a.kind, VersionLineKind::kBanner);
    EXPECT_EQ(a.text, "Welcome");
    waiting.erase(0, a.consumed);
    VersionLine b = next_version_line(waiting);
    EXPECT_EQ(b.kind, VersionLineKind::kBanner);
    EXPECT_EQ(b.text, "");
    waiting.erase(0, b.consumed);
    VersionLine c = next_version_line(waiting);
    EXPECT_EQ(c.kind, VersionLineKind::kIdentification);
    EXPECT_EQ(c.text, "SSH-2.0-x");
    EXPECT_EQ(waiting.substr(c.consumed), "rest");
    EXPECT_EQ(next_version_line(std::string(1024, 'a')).kind, VersionLineKind::kNeedMore);
    EXPECT_EQ(next_version_line(std::string(1024, 'a') + "\n").kind, VersionLineKind::kBanner);
    EXPECT_EQ(next_version_line(std::string(1025, 'a')).kind, VersionLineKind::kTooLong);
    EXPECT_EQ(printable("a\x1b[31m\x7f"), "a\\x1b[31m\\x7f");
    EXPECT_EQ(printable("abcdef", 3), "abc...");
}

TEST(SshCompat, TableRows) {
    struct Case {
        const char* software;
        uint32_t flags;
    } cases[] = {
        {"OpenSSH_3.9p1", 0},
        {"OpenSSH_9.2p1", 0},
        {"OpenSSH_2.2.0", kRawSessionId | kOldGroupExchange | kNoPacketLimit},
        {"OpenSSH_2.3.0p1", kNoAesCiphers | kOldGroupExchange | kNoPacketLimit},
        {"OpenSSH_2.5.3p1", kNoPacketLimit},
        {"Sun_SSH_1.0.1", kNoPacketLimit},
        {"2.0.12", kRawDssSignature | kUserauthServiceSigned | kShortMacKey | kRawSessionId |
                       kRsaSignatureMd5 | kIgnoreFirstKexGuess | kShortPublickeyRequest},
        {"2.0.9", kRawDssSignature | kUserauthServiceSigned | kShortMacKey | kRawSessionId |
                      kRsaSignatureMd5 | kIgnoreFirstKexGuess | kShortPublickeyRequest | kKeysWithoutSecret},
        {"2.1.0", kRawDssSignature | kShortMacKey | kRawSessionId | kRsaSignatureMd5 | kIgnoreFirstKexGuess},
        {"2.3.1", kRsaSignatureMd5 | kIgnoreFirstKexGuess},
        {"2.4", kRawSessionId},
        {"2.4.1", kIgnoreFirstKexGuess},
        {"WinSCP_5", 0},
        {"1.2.20", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.software);
        EXPECT_EQ(compat_flags_for(c.software), c.flags);
    }
    EXPECT_TRUE(match_pattern_list("a*,b?", "bc"));
    EXPECT_FALSE(match_pattern_list("!bc,b?", "bc"));
    EXPECT_FALSE(match_pattern_list(std::string(1023, '*'), "x"));
    EXPECT_TRUE(match_pattern_list(std::string(1022, '*'), "x"));
}

TEST(SshNegotiation, ProposalKeepsTheDesignedOrderFirst) {
    Proposal p = client_proposal(true, 0, true);
    EXPECT_EQ(join_name_list(p[kProposalCompressionOut]), "zlib,none,zlib@openssh.com");
    EXPECT_EQ(join_name_list(client_proposal(false, 0, true)[kProposalCompressionIn]),
              "none,zlib,zlib@openssh.com");
    EXPECT_EQ(p[kProposalKex].front(), "diffie-hellman-group-exchange-sha1");
    EXPECT_EQ(p[kProposalKex].back(), kStrictKexClient);
    EXPECT_EQ(join_name_list(p[kProposalHostKey]),
              "ssh-rsa,ssh-dss,rsa-sha2-512,rsa-sha2-256,ssh-ed25519,ecdsa-sha2-nistp256");
    EXPECT_EQ(p[kProposalCipherOut].front(), "aes128-cbc");
    EXPECT_EQ(p[kProposalMacIn].front(), "hmac-md5");
    // Re-keys leave out the markers of the first exchange.
    EXPECT_EQ(client_proposal(true, 0, false)[kProposalKex].back(), "ecdh-sha2-nistp256");
    // Without AES: 3des first, the rijndael name kept.
    Proposal old = client_proposal(true, kNoAesCiphers, true);
    EXPECT_EQ(old[kProposalCipherOut].front(), "3des-cbc");
    EXPECT_EQ(join_name_list(old[kProposalCipherIn]),
              "3des-cbc,blowfish-cbc,cast128-cbc,arcfour,rijndael-cbc@lysator.liu.se,chacha20-poly1305@"
              "openssh.com");
    // Every name we propose has a table row.
    for (const std::string& name : p[kProposalCipherOut]) EXPECT_NE(find_cipher(name), nullptr) << name;
    for (const std::string& name : p[kProposalMacOut]) EXPECT_NE(find_mac(name), nullptr) << name;
}

TEST(SshNegotiation, ChoiceRule) {
    struct Case {
        const char* client;
        const char* server;
        const char* chosen;
    } cases[] = {
        {"a,b,c", "c,b", "b"},
        {"a,b", "x,y", ""},
        {"a", "", ""},
        {"ext-info-c,a", "ext-info-c,a", "a"},
        {"kex-strict-c-v00@openssh.com", "kex-strict-c-v00@openssh.com", ""},
        {"Aes128-cbc", "aes128-cbc", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(choose_algorithm(split_name_list(c.client), split_name_list(c.server)), c.chosen)
            << c.client << " / " << c.server;
    }
    // Only the server's first 40 names count.
    std::vector<std::string> server;
    for (int i = 0; i < 40; ++i) server.push_back("n" + std::to_string(i));
    server.push_back("wanted");
    EXPECT_EQ(choose_algorithm({"wanted"}, server), "");
    server.erase(server.begin());
    EXPECT_EQ(choose_algorithm({"wanted"}, server), "wanted");
}

TEST(SshNegotiation, EveryCategoryAndNeed) {
    Proposal client = client_proposal(true, 0, true);
    Proposal server;
    server[kProposalKex] = {"curve25519-sha256", "kex-strict-s-v00@openssh.com", "ext-info-s"};
    server[kProposalHostKey] = {"ssh-ed25519"};
    server[kProposalCipherOut] = {"aes256-cbc"};
    server[kProposalCipherIn] = {"chacha20-poly1305@openssh.com"};
    server[kProposalMacOut] = {"hmac-sha1"};
    server[kProposalMacIn] = {};  // not needed with an AEAD cipher
    server[kProposalCompressionOut] = {"none"};
    server[kProposalCompressionIn] = {"zlib@openssh.com"};
    Negotiated n;
    std::string error;
    ASSERT_EQ(negotiate(client, server, 0, n, error), 0) << error;
    EXPECT_EQ(n.kex, "curve25519-sha256");
    EXPECT_EQ(n.host_key, "ssh-ed25519");
    EXPECT_STREQ(n.cipher[0]->name, "aes256-cbc");
    EXPECT_STREQ(n.cipher[1]->name, "chacha20-poly1305@openssh.com");
    EXPECT_STREQ(n.mac[0]->name, "hmac-sha1");
    EXPECT_EQ(n.mac[1], nullptr);
    EXPECT_EQ(n.compression[0], CompressionKind::kNone);
    EXPECT_EQ(n.compression[1], CompressionKind::kZlibDelayed);
    EXPECT_EQ(n.need, 64u);  // the chacha20-poly1305 key
    EXPECT_TRUE(n.strict);
    EXPECT_TRUE(n.server_ext_info);
    EXPECT_TRUE(n.guess_wrong);

    // The designed need figures: aes256-cbc/hmac-sha1 32, 3des-cbc/hmac-md5 24, aes128-cbc/hmac-sha1-96 20,
    // aes128-cbc/hmac-md5 16.
    struct NeedCase {
        const char* cipher;
        const char* mac;
        size_t need;
    } needs[] = {{"aes256-cbc", "hmac-sha1", 32},
                 {"3des-cbc", "hmac-md5", 24},
                 {"aes128-cbc", "hmac-sha1-96", 20},
                 {"aes128-cbc", "hmac-md5", 16}};
    for (const NeedCase& c : needs) {
        for (size_t i : {kProposalCipherOut, kProposalCipherIn}) server[i] = {c.cipher};
        for (size_t i : {kProposalMacOut, kProposalMacIn}) server[i] = {c.mac};
        ASSERT_EQ(negotiate(client, server, 0, n, error), 0) << error;
        EXPECT_EQ(n.need, c.need) << c.cipher << " " << c.mac;
    }

    // Each category without a common algorithm fails and names itself.
    const char* names[] = {"key exchange",
                           "host key",
                           "cipher client to server",
                           "cipher server to client",
                           "MAC client to server",
                           "MAC server to client",
                           "compression client to server",
                           "compression server to client"};
    for (size_t i = 0; i < 8; ++i) {
        Proposal broken = server;
        broken[i] = {"nothing-we-know"};
        EXPECT_EQ(negotiate(client, broken, 0, n, error), 1);
        EXPECT_NE(error.find(std::string("no common algorithm for ") + names[i] + " ("), std::string::npos)
            << error;
    }
}

}  // namespace
}  // namespace orvane::ssh
