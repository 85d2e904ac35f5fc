// The session against a scripted server keyed by the stand-in key exchange: version exchange,
// negotiation, keys, the service seam, re-keys in both directions, and hostile servers.
#include "client/ssh/ssh_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/ssh/ssh_version.h"
#include "common/log.h"
#include "tests/client/ssh/ssh_test_peer.h"
#include "tests/support/log_lines.h"

namespace orvane::ssh {
namespace {

using test::ScriptedServer;

struct Log : ::orvane::test::LogLines {
    std::vector<SshState> states;
};

void trace_to(void* user, SshState, SshState to) {
    static_cast<Log*>(user)->states.push_back(to);
}

struct Fixture {
    Log log;
    FilterConfig config;
    std::unique_ptr<SshSession> session;
    ScriptedServer server;
    Fixture() {
        config.log = &::orvane::test::LogLines::collect;
        config.log_user = static_cast<::orvane::test::LogLines*>(&log);
        make(test::fake_kex_parts());
    }
    void make(const SshParts& parts) {
        session = std::make_unique<SshSession>(config, parts);
        session->set_trace({&trace_to, &log});
        session->set_service(test::channel_service());
    }
    void run() { test::exchange(*session, server); }
    std::string application_input() {
        std::string out(session->application_input().size(), '\0');
        out.resize(session->application_input().take(out.data(), out.size()));
        return out;
    }
};

std::string payload(std::initializer_list<int> bytes, std::string_view tail = {}) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s + std::string(tail);
}

std::string string_field(std::string_view s) {
    std::string out = payload({0, 0, 0, static_cast<int>(s.size())});
    return out + std::string(s);
}

TEST(SshSession, KeysUpAndCarriesDataBothWays) {
    Fixture f;
    f.server.greeting = "Welcome to the test\r\n\r\nSSH-2.0-OpenSSH_9.2p1 Debian\r\n";
    f.run();
    SshSession& s = *f.session;
    ASSERT_EQ(s.session_error(), 0) << s.error_text();
    EXPECT_EQ(s.state(), SshState::kConnection);
    EXPECT_TRUE(s.established());
    EXPECT_EQ(f.server.client_identification(), "SSH-2.0-FendrelSSH_1.0");
    EXPECT_EQ(s.server_identification(), "SSH-2.0-OpenSSH_9.2p1 Debian");
    EXPECT_TRUE(f.log.has(kLevelInfo, "Welcome to the test"));
    EXPECT_TRUE(f.log.has(kLevelInfo, "Debian"));
    EXPECT_TRUE(s.strict_kex());
    EXPECT_STREQ(s.negotiated().cipher[0]->name, "aes128-cbc");
    EXPECT_STREQ(s.negotiated().mac[1]->name, "hmac-md5");
    EXPECT_EQ(s.server_sig_algs(), (std::vector<std::string>{"ssh-ed25519", "rsa-sha2-256"}));
    std::vector<SshState> expected = {SshState::kKexInit,   SshState::kKexStart,      SshState::kKexRunning,
                                      SshState::kNewKeys,   SshState::kServiceAccept, SshState::kUserAuth,
                                      SshState::kConnection};
    EXPECT_EQ(f.log.states, expected);
    // The first messages: KEXINIT, the method's message, NEWKEYS, SERVICE_REQUEST, then the service.
    EXPECT_EQ(f.server.received_numbers, (std::vector<int>{20, 30, 21, 5, 50}));

    std::string upload = test::random_payload(100000);
    ASSERT_EQ(s.put_application(reinterpret_cast<const uint8_t*>(upload.data()), upload.size()),
              upload.size());
    f.server.send_data("from the server");
    f.run();
    EXPECT_EQ(f.server.received_data, upload);
    EXPECT_EQ(f.application_input(), "from the server");
    EXPECT_EQ(s.describe(nullptr, nullptr), 0);
    EXPECT_TRUE(f.log.has(kLevelInfo, "strict key exchange"));
}

TEST(SshSession, RekeysWithoutLosingBytes) {
    for (bool server_starts : {true, false}) {
        SCOPED_TRACE(server_starts ? "server starts" : "client starts");
        Fixture f;
        f.server.proposal[kProposalCipherOut] = f.server.proposal[kProposalCipherIn] = {"3des-cbc"};
        f.run();
        SshSession& s = *f.session;
        ASSERT_EQ(s.state(), SshState::kConnection) << s.error_text();
        if (!server_starts) s.transport().set_rekey_byte_limit(64 * 1024);
        std::string upload = test::random_payload(600000);
        std::string download;
        size_t sent = 0;
        int round = 0;
        while ((sent < upload.size() || round < 3) && round < 100 && s.session_error() == 0) {
            size_t n = std::min<size_t>(50000, upload.size() - sent);
            if (n > 0) sent += s.put_application(reinterpret_cast<const uint8_t*>(upload.data()) + sent, n);
            std::string piece = "piece " + std::to_string(round) + ";";
            download += piece;
            f.server.send_data(piece);
            if (server_starts && round == 2) f.server.start_rekey();
            // Only part of the way: the server's KEXINIT meets data in flight.
            std::string to_server(s.network_output().size() / 2, '\0');
            s.network_output().take(to_server.data(), to_server.size());
            f.server.receive(to_server);
            f.run();
            ++round;
        }
        f.run();
        ASSERT_EQ(s.session_error(), 0) << s.error_text();
        EXPECT_FALSE(f.server.failed) << f.server.failure;
        EXPECT_GE(s.key_exchanges(), 2);
        EXPECT_EQ(f.server.key_exchanges, s.key_exchanges());
        EXPECT_EQ(f.server.received_data, upload);
        EXPECT_EQ(f.application_input(), download);
        EXPECT_EQ(s.state(), SshState::kConnection);
    }
}

TEST(SshSession, CompressionBothWays) {
    for (const char* method : {"zlib", "zlib@openssh.com"}) {
        SCOPED_TRACE(method);
        Fixture f;
        f.server.proposal[kProposalCompressionOut] = f.server.proposal[kProposalCompressionIn] = {method};
        f.run();
        SshSession& s = *f.session;
        ASSERT_EQ(s.state(), SshState::kConnection) << s.error_text();
        EXPECT_TRUE(s.transport().compressing(true));
        EXPECT_TRUE(s.transport().compressing(false));
        std::string text(200000, 'c');
        s.put_application(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        f.server.send_data(text);
        f.run();
        EXPECT_EQ(f.server.received_data, text);
        EXPECT_EQ(f.application_input(), text);
    }
}

TEST(SshSession, KexInitInTheSameReadAsTheIdentification) {
    Fixture f;
    f.server.kexinit_with_greeting = true;
    std::string first = f.server.take_output();
    f.session->put_network(reinterpret_cast<const uint8_t*>(first.data()), first.size());
    EXPECT_EQ(f.session->state(), SshState::kKexRunning);
}

TEST(SshSession, FirstKexPacketGuess) {
    // A wrong guess is discarded; with IgnoreFirstKexGuess (software "2.4.1") it is not, and the
    // exchange fails on it.
    for (const char* software : {"OpenSSH_9.2", "2.4.1"}) {
        SCOPED_TRACE(software);
        Fixture f;
        f.server.greeting = std::string("SSH-2.0-") + software + "\r\n";
        f.server.proposal[kProposalKex].insert(f.server.proposal[kProposalKex].begin(), "curve25519-sha256");
        f.server.first_kex_packet_follows = true;
        f.server.after_kexinit = {payload({31}, string_field("a guess"))};
        f.run();
        if (std::string(software) == "2.4.1") {
            EXPECT_EQ(f.session->compat(), uint32_t(kIgnoreFirstKexGuess));
            EXPECT_EQ(f.session->session_error(), kErrorKeyExchange);
        } else {
            EXPECT_EQ(f.session->state(), SshState::kConnection) << f.session->error_text();
            EXPECT_NE(std::find(f.log.states.begin(), f.log.states.end(), SshState::kSkipGuess),
                      f.log.states.end());
        }
    }
}

TEST(SshSession, VersionExchangeFailures) {
    struct Case {
        std::string greeting;
        int error;
        std::string answer;  // what the client wrote
        FailureKind kind;
    } cases[] = {
        {"SSH-1.2-old\r\n", kErrorVersionTooOld, "", FailureKind::kRemote},
        {"SSH-1.5-one\r\n", kErrorSsh1Only, "SSH-1.5-FendrelSSH_1.0\r\n", FailureKind::kRemote},
        {"SSH-3.0-x\r\n", kErrorIdentificationFormat, "", FailureKind::kProtocol},
        {"SSH-2.0\r\n", kErrorIdentificationFormat, "", FailureKind::kProtocol},
        {"SSH-2.0-" + std::string(248, 'v') + "\r\n", kErrorIdentificationTooLong, "",
         FailureKind::kProtocol},
        {std::string(1025, 'b'), kErrorIdentificationTooLong, "", FailureKind::kProtocol},
        {std::string(1025, 'b') + "\n", kErrorIdentificationTooLong, "", FailureKind::kProtocol},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.greeting.substr(0, 40));
        Fixture f;
        f.session->put_network(reinterpret_cast<const uint8_t*>(c.greeting.data()), c.greeting.size());
        EXPECT_EQ(f.session->session_error(), c.error);
        EXPECT_EQ(f.session->state(), SshState::kFailed);
        EXPECT_EQ(f.session->network_output().contents(), c.answer);
        EXPECT_TRUE(f.log.has(kLevelError, ssh_error_message(c.error)));
        EXPECT_EQ(f.session->failure().kind, c.kind);
        EXPECT_EQ(f.session->failure().cause, f.session->error_text());
    }
    // 255 characters are accepted.
    Fixture f;
    std::string id = "SSH-2.0-" + std::string(247, 'v');
    ASSERT_EQ(id.size(), 255u);
    f.session->put_network(reinterpret_cast<const uint8_t*>((id + "\r\n").data()), id.size() + 2);
    EXPECT_EQ(f.session->state(), SshState::kKexInit);
}

TEST(SshSession, HostileServersEndTheSession) {
    struct Case {
        const char* name;
        std::function<void(Fixture&)> arrange;
        int error;
        const char* cause;
        FailureKind kind;
    } cases[] = {
        {"channel data during the key exchange",
         [](Fixture& f) { f.server.after_kexinit = {payload({94}, string_field("x"))}; }, kErrorKeyExchange,
         "unexpected message 94", FailureKind::kProtocol},
        {"no common cipher", [](Fixture& f) { f.server.proposal[kProposalCipherIn] = {"twofish-cbc"}; },
         kErrorKeyExchange, "no common algorithm for cipher server to client", FailureKind::kRemote},
        {"DISCONNECT from the server",
         [](Fixture& f) {
             f.server.after_kexinit = {
                 payload({1, 0, 0, 0, 3}, string_field("go \x1b away") + string_field(""))};
         },
         kErrorKeyExchange, "go \\x1b away", FailureKind::kRemote},
        {"IGNORE before KEXINIT under strict key exchange",
         [](Fixture& f) { f.server.before_kexinit = {payload({2}, string_field(""))}; }, kErrorKeyExchange,
         "KEXINIT was not the server's first packet", FailureKind::kProtocol},
        {"no key-exchange implementation", [](Fixture& f) { f.make(SshParts{}); }, kErrorKeyExchange,
         "no implementation of the key exchange", FailureKind::kLocal},
        {"a reserved message number", [](Fixture& f) { f.server.after_kexinit = {payload({200})}; },
         kErrorKeyExchange, "unexpected message 200", FailureKind::kProtocol},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        c.arrange(f);
        f.run();
        EXPECT_EQ(f.session->session_error(), c.error);
        EXPECT_EQ(f.session->state(), SshState::kFailed);
        EXPECT_NE(f.session->error_text().find(c.cause), std::string::npos) << f.session->error_text();
        EXPECT_EQ(f.session->failure().kind, c.kind);
        EXPECT_TRUE(f.log.has(kLevelError, "An error occured during key exchange"));
        // The server was told.
        EXPECT_EQ(f.server.received_numbers.back(), 1);
    }
    // Without strict key exchange an IGNORE before KEXINIT is skipped.
    Fixture lax;
    lax.server.proposal[kProposalKex].pop_back();
    lax.server.before_kexinit = {payload({2}, string_field("")),
                                 payload({4, 0}, string_field("dbg") + string_field(""))};
    lax.run();
    EXPECT_EQ(lax.session->state(), SshState::kConnection) << lax.session->error_text();
    EXPECT_FALSE(lax.session->strict_kex());

    // A server that will not re-key answers our KEXINIT with UNIMPLEMENTED: the session ends
    // instead of waiting.
    Fixture refused;
    refused.server.refuse_rekey = true;
    refused.run();
    ASSERT_EQ(refused.session->state(), SshState::kConnection);
    refused.session->transport().set_rekey_byte_limit(1);
    refused.session->put_application(reinterpret_cast<const uint8_t*>("x"), 1);
    refused.run();
    EXPECT_EQ(refused.session->session_error(), kErrorKeyExchange);
    EXPECT_NE(refused.session->error_text().find("refused a new key exchange"), std::string::npos);
    EXPECT_EQ(refused.session->failure().kind, FailureKind::kRemote);

    // In the data phase: a bad MAC and an unknown message end the session with error 5.
    for (int variant = 0; variant < 2; ++variant) {
        Fixture f;
        f.run();
        ASSERT_EQ(f.session->state(), SshState::kConnection);
        if (variant == 0) {
            f.server.corrupt_next_output = true;
            f.server.send_data("tampered");
        } else {
            f.server.send(payload({21}));  // NEWKEYS out of place
        }
        f.run();
        EXPECT_EQ(f.session->session_error(), kErrorChannel);
        EXPECT_EQ(f.session->failure().kind, FailureKind::kProtocol);
        EXPECT_TRUE(f.log.has(kLevelError, "An bogus channel packet was received"));
        EXPECT_EQ(f.server.received_numbers.back(), 1);  // DISCONNECT, under the keys in use
        EXPECT_EQ(f.session->get_network(nullptr, 0), 0u);
        // Nothing further is processed.
        f.server.send_data("late");
        f.run();
        EXPECT_EQ(f.application_input(), "");
    }
}

// The connection's timeout only counts silence; a server that keeps talking without moving on
// must still finish each step before the data phase within the timeout as a whole. A clock of
// our own moves 50 ms on every reading, so the test measures nothing.
struct Ticker {
    uint64_t now = 0;
    static uint64_t tick(void* self) { return static_cast<Ticker*>(self)->now += 50; }
};

TEST(SshSession, EachStepBeforeTheDataPhaseIsBoundedAsAWhole) {
    const std::string ignore = payload({2}, string_field("noise"));
    const std::string debug = payload({4, 1}, string_field("debug") + string_field(""));
    std::vector<std::string> noise;
    for (int i = 0; i < 400; ++i) noise.push_back(i % 2 ? ignore : debug);
    std::string lines;
    for (int i = 0; i < 400; ++i) lines += "banner line\r\n";
    struct Case {
        const char* what;
        void (*arrange)(Fixture& f, const std::vector<std::string>& noise, const std::string& lines);
        const char* step;
    } cases[] = {
        {"banner lines before the identification",
         [](Fixture& f, const std::vector<std::string>&, const std::string& lines) {
             f.server.greeting = lines + f.server.greeting;
         },
         "version exchange"},
        {"IGNORE and DEBUG in the key exchange",
         [](Fixture& f, const std::vector<std::string>& noise, const std::string&) {
             f.server.after_kexinit = noise;
         },
         "within 5 seconds"},
        {"IGNORE and DEBUG instead of an authentication answer",
         [](Fixture& f, const std::vector<std::string>& noise, const std::string&) {
             f.server.on_service = [noise](ScriptedServer& server, SshBuffer&) {
                 for (const std::string& m : noise) server.send(m);
             };
         },
         "user authentication"},
    };
    for (bool bounded : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (bounded ? "" : " without a timeout"));
            Fixture f;
            f.server.proposal[kProposalKex].pop_back();  // strict key exchange forbids the noise
            f.config.timeout_seconds = bounded ? 5 : 0;
            f.make(test::fake_kex_parts());
            Ticker ticker;
            f.session->set_clock({&Ticker::tick, &ticker});
            c.arrange(f, noise, lines);
            test::exchange(*f.session, f.server, 16);
            if (!bounded) {
                // The same noise is harmless when nothing bounds it: it only takes its time.
                EXPECT_EQ(f.session->session_error(), 0) << f.session->error_text();
                continue;
            }
            EXPECT_EQ(f.session->state(), SshState::kFailed);
            EXPECT_EQ(f.session->failure().kind, FailureKind::kTimeout);
            EXPECT_NE(f.session->error_text().find("did not finish"), std::string::npos)
                << f.session->error_text();
            EXPECT_NE(f.session->error_text().find(c.step), std::string::npos) << f.session->error_text();
        }
    }
    // Steps that each finish in time add up to more than the timeout without harm.
    Fixture f;
    f.config.timeout_seconds = 5;
    f.make(test::fake_kex_parts());
    Ticker ticker;
    f.session->set_clock({&Ticker::tick, &ticker});
    test::exchange(*f.session, f.server, 16);
    EXPECT_EQ(f.session->state(), SshState::kConnection) << f.session->error_text();
    EXPECT_GT(ticker.now, 5000u);
    // A re-key in the data phase may wait behind data in flight: it is not bounded so.
    f.server.start_rekey();
    test::exchange(*f.session, f.server, 4);
    EXPECT_EQ(f.session->key_exchanges(), 2) << f.session->error_text();
    EXPECT_EQ(f.session->state(), SshState::kConnection);
}

// The key types recorded for the host are asked for first; a re-key asks for the type the session
// began with.
std::vector<std::string> recorded_ed25519(void*, const std::string& host, uint16_t port) {
    return host == "known.example" && port == 2222 ? std::vector<std::string>{"ssh-ed25519"}
                                                   : std::vector<std::string>{};
}

TEST(SshSession, RecordedHostKeyTypesAreAskedForFirst) {
    for (const char* host : {"known.example", "new.example"}) {
        SCOPED_TRACE(host);
        bool known = std::string(host) == "known.example";
        Fixture f;
        f.config.host = host;
        f.config.port = 2222;
        f.config.host_key.recorded_types = &recorded_ed25519;
        f.make(test::fake_kex_parts());
        f.server.proposal[kProposalHostKey] = {"ssh-ed25519", "rsa-sha2-256"};
        f.run();
        ASSERT_EQ(f.session->state(), SshState::kConnection) << f.session->error_text();
        EXPECT_EQ(f.session->negotiated().host_key, known ? "ssh-ed25519" : "rsa-sha2-256");
        // The stand-in exchange always yields an ed25519 key: the re-key asks for that.
        f.server.start_rekey();
        f.run();
        EXPECT_EQ(f.session->key_exchanges(), 2);
        EXPECT_EQ(f.session->negotiated().host_key, "ssh-ed25519");
    }
}

// Lines before the identification are shown up to the session's 64 KiB of banners.
TEST(SshSession, BannerLinesBeforeTheIdentificationAreCapped) {
    Fixture f;
    std::string line(100, 'L');
    std::string lines;
    for (int i = 0; i < 1000; ++i) lines += line + "\r\n";
    f.server.greeting = lines + f.server.greeting;
    f.run();
    EXPECT_EQ(f.session->state(), SshState::kConnection) << f.session->error_text();
    size_t shown = 0, warnings = 0;
    for (const auto& [level, text] : f.log.lines) {
        if (level == kLevelInfo && text.rfind("LLLL", 0) == 0) shown += text.size();
        if (level == kLevelWarning) ++warnings;
    }
    EXPECT_EQ(shown, 64u << 10);
    EXPECT_EQ(warnings, 1u);
}

}  // namespace
}  // namespace orvane::ssh
