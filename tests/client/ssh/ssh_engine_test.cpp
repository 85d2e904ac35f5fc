// The SSH session as the network core's filter, against OpenSSH listening on a loopback port:
// the engine moves the bytes, the session exchanges versions and KEXINITs and chooses, up to
// the server's key-exchange reply.
#include <gtest/gtest.h>

#include "client/ssh/ssh_session.h"
#include "client/transfer/net/transfer_engine.h"
#include "tests/client/ssh/ssh_test_peer.h"
#include "tests/client/transfer/net/network_test_support.h"
#include "tests/support/sshd_server.h"

namespace orvane::ssh {
namespace {

void ignore_step(Connection&) {}

namespace net = ::orvane::test;

// Connects, then receives until the session has failed and its DISCONNECT has left (SSH gives
// the connection no application bytes before authentication, so the network probe's own end
// rule does not fit).
void ssh_probe_step(Connection& c) {
    net::Probe& p = *static_cast<net::Probe*>(c.step_state.context);
    auto& state = c.step_state.state;
    if (c.flags & (kFlagTimedOut | kFlagAbort)) {
        finish_step(c, 1);
        return;
    }
    switch (static_cast<net::ProbeState>(state)) {
        case net::ProbeState::kStart:
            if (!(c.flags & kFlagPosted)) return;
            c.address_text = "127.0.0.1";
            c.port = p.port;
            if (int r = connect_socket(c); r != 0) {
                p.connect_error = r;
                finish_step(c, 1);
                return;
            }
            register_events(c, kNetWrite | kNetConnect);
            state = static_cast<int>(net::ProbeState::kConnecting);
            return;
        case net::ProbeState::kConnecting:
            if (c.network_events.ok(kNetWrite, kNetWriteIndex)) {
                state = static_cast<int>(net::ProbeState::kTransferring);
                start_receive(c);
            } else if (c.network_events.has(kNetConnect) && c.network_events.errors[kNetConnectIndex] != 0) {
                p.connect_error = c.network_events.errors[kNetConnectIndex];
                finish_step(c, 1);
            }
            return;
        case net::ProbeState::kTransferring:
            if (c.filter && c.filter->error() && !c.filter->network_output_waiting() && !c.send_pending) {
                finish_step(c, 0);
                return;
            }
            if ((c.flags & kFlagIoDone) || c.network_events.has(kNetRead)) start_receive(c);
            return;
    }
}
struct Outcome {
    std::atomic<int> calls{0};
};
void record(int, void* owner, int) {
    ++static_cast<Outcome*>(owner)->calls;
}

ByteFilter* probe_session(const FilterConfig& config) {
    return new SshSession(config, test::probe_kex_parts());
}

TEST(SshEngine, SessionAsTheConnectionsFilter) {
    ::orvane::test::SshdDaemon sshd;
    if (!sshd.running()) GTEST_SKIP() << sshd.why();
    test::reset_probe();
    FilterProviders providers;
    providers.ssh.create_filter = &probe_session;
    auto engine = TransferEngine::start(nullptr, nullptr, providers);
    ASSERT_TRUE(engine);
    ::orvane::test::Requester req;
    ConnectionSetup setup = ::orvane::test::setup(kSecuritySsh, 10, ::orvane::test::queue_receive,
                                                  ::orvane::test::queue_send, ignore_step);
    setup.filter.host = "127.0.0.1";
    Connection* c = engine->open_connection(setup);
    ASSERT_NE(c, nullptr);
    ::orvane::test::Probe probe;
    probe.port = sshd.port();
    c->step_state.context = &probe;
    Outcome outcome;
    ASSERT_EQ(post_step(*c, ssh_probe_step, record, 0, req.notifier(), &outcome), 0);
    // The session fails at the probe's end and says so; the server closes after our DISCONNECT.
    ASSERT_TRUE(req.run_until(*engine, [&] { return outcome.calls == 1; }));
    ASSERT_TRUE(c->filter);
    ASSERT_EQ(c->filter->family(), SshSession(FilterConfig{}, SshParts{}).family());
    auto& session = static_cast<SshSession&>(*c->filter);
    EXPECT_EQ(session.server_identification().rfind("SSH-2.0-OpenSSH_", 0), 0u);
    EXPECT_EQ(session.negotiated().kex, "curve25519-sha256");
    EXPECT_EQ(test::probe_reply(), 31);
    EXPECT_EQ(session.session_error(), kErrorKeyExchange);
    EXPECT_NE(c->filter->error_text().find("the probe goes no further"), std::string::npos);
    EXPECT_NE(sshd.log().find("remote software version FendrelSSH_1.0"), std::string::npos);
    engine->close_connection(c);
}

}  // namespace
}  // namespace orvane::ssh
