// The data connection's mechanics: the two-channel join of a transfer command and active-mode listening.
#include "client/transfer/ftp/ftp_join.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "client/transfer/net/engine_owner.h"
#include "client/transfer/net/transfer_engine.h"
#include "client/transfer/session/request_dispatch.h"
#include "client/transfer/session/request_table.h"
#include "client/transfer/session/requests.h"
#include "tests/client/transfer/net/network_test_support.h"
#include "tests/support/loopback.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

using test::Done;
using test::record_done;

// An FTP session on an engine of its own whose listing request runs the test's handler.
struct Fixture {
    EngineOwner engines;
    test::Requester req;
    std::unique_ptr<Session> s;
    explicit Fixture(RequestHandler listing) {
        const RequestEntry entry{RequestKind::kGetListing, listing};
        s = create_session(engines, make_request_table(std::span<const RequestEntry>(&entry, 1), {}), nullptr,
                           nullptr, req.notifier(), kProtocolFtp, 0);
        EXPECT_TRUE(s);
    }
    TransferEngine& engine() { return *engines.engine(); }
    bool wait(const Done& d, std::chrono::milliseconds timeout = 10s) {
        return req.run_until(
            engine(), [&] { return d.calls > 0; }, timeout);
    }
};

// Two-channel join: the data step waits for an abort or a go-ahead; the control step finishes
// with the value the test chose.
int g_control_result = 0;
void data_step(Connection& c) {
    if (c.flags & kFlagAbort) {
        close_socket(c);
        finish_step(c, 1);
    } else if (c.flags & kFlagTimedOut) {
        finish_step(c, 0);  // "transfer done"
    }
}
void control_step(Connection& c) {
    if (c.flags & kFlagPosted) finish_step(c, g_control_result);
}
void join_continuation(int code, void* owner, int result) {
    Session& s = *static_cast<Session*>(owner);
    EXPECT_EQ(code, 77);
    complete_request(s, result);
}
void two_channel_listing(Session& s) {
    if (start_two_channel(s, data_step, control_step, join_continuation, 77) != 0) complete_request(s, 1);
}

TEST(FtpJoin, TwoChannelJoinWaitsForBothAndAbortsTheDataStepWhenControlFails) {
    {
        Fixture f(two_channel_listing);
        g_control_result = 1;
        Done d;
        ASSERT_EQ(request_listing(*f.s, record_done, 0, &d), 0);
        ASSERT_TRUE(f.wait(d));
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(ftp_state(*f.s).join.control_result, 1);
        EXPECT_EQ(ftp_state(*f.s).join.data_result, 1) << "the data step was ended by the abort flag";
    }
    {
        Fixture f(two_channel_listing);
        g_control_result = 0;
        Done d;
        ASSERT_EQ(request_listing(*f.s, record_done, 0, &d), 0);
        f.req.run_until(
            f.engine(), [] { return false; }, 100ms);
        EXPECT_EQ(d.calls, 0) << "control done, data still running";
        EXPECT_EQ(ftp_state(*f.s).join.control_result, 0);
        raise_flag(*f.s->data, kFlagTimedOut);
        ASSERT_TRUE(f.wait(d));
        EXPECT_EQ(d.result, 0);
    }
}

// The counter starts over after the last port: one that stuck there would put every later
// listener, and every parallel session's, on the same port.
TEST(FtpJoin, DataPortCounterStaysInRangeAndStartsOver) {
    int counter = 10000;
    advance_data_port(counter);
    EXPECT_EQ(counter, 10001);
    counter = 31999;
    advance_data_port(counter);
    EXPECT_EQ(counter, 32000);
    advance_data_port(counter);
    EXPECT_EQ(counter, 10000);
    counter = 5;
    advance_data_port(counter);
    EXPECT_EQ(counter, 10000);
    counter = 99999;
    advance_data_port(counter);
    EXPECT_EQ(counter, 10000);
}

// Active mode: listen on the next data port, accept, then collect until the peer closes.
enum class ActiveState : int { kListen = 0, kAccepting = 1, kReceiving = 2 };
void active_receive_step(Connection& c) {
    Session& s = *c.step_state.session;
    auto& state = c.step_state.state;
    switch (static_cast<ActiveState>(state)) {
        case ActiveState::kListen:
            if (listen_for_data(s, c) != 0) {
                finish_step(c, 1);
                return;
            }
            register_events(c, kNetAccept);
            state = static_cast<int>(ActiveState::kAccepting);
            static_cast<test::Probe*>(c.step_state.context)->receiving = true;
            return;
        case ActiveState::kAccepting:
            if (!c.network_events.ok(kNetAccept, kNetAcceptIndex) || accept_on(c) != 0) {
                finish_step(c, 1);
                return;
            }
            state = static_cast<int>(ActiveState::kReceiving);
            start_receive(c);
            return;
        case ActiveState::kReceiving:
            // Finished reads wake the step; the data connection waits for its close.
            if (c.network_events.has(kNetClose)) {
                close_socket(c);
                finish_step(c, 0);
            } else if (c.network_events.has(kNetRead)) {
                start_receive(c);
            } else if (c.flags & kFlagAbort) {
                close_socket(c);
                finish_step(c, 1);
            }
            return;
    }
}
void active_done(int, void* owner, int result) {
    complete_request(*static_cast<Session*>(owner), result);
}
void active_listing(Session& s) {
    post_session_step(s, *s.data, active_receive_step, active_done, 0);
}

TEST(FtpJoin, ActiveModeListensOnTheNextDataPortAndAccepts) {
    Fixture f(active_listing);
    test::Probe probe;
    f.s->data->step_state.context = &probe;
    FtpSessionState& fs = ftp_state(*f.s).session;
    fs.local_address = "127.0.0.1";
    fs.data_port = 20000 + static_cast<int>(::getpid() % 5000);
    int before = fs.data_port;
    Done d;
    ASSERT_EQ(request_listing(*f.s, record_done, 0, &d), 0);
    ASSERT_TRUE(test::wait_until([&] { return probe.receiving.load(); }));
    EXPECT_GT(fs.data_port, before);
    EXPECT_LE(fs.data_port, 32000);
    int peer = test::connect_loopback(static_cast<uint16_t>(fs.data_port));
    ASSERT_GE(peer, 0);
    test::send_all(peer, "-rw-r--r-- 1 u g 5 Jan 1 2024 a.txt\r\n");
    test::close_fd(peer);
    ASSERT_TRUE(f.wait(d));
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(f.s->data->step_state.receive_queue.contents(), "-rw-r--r-- 1 u g 5 Jan 1 2024 a.txt\r\n");
}

TEST(FtpJoin, ActiveModeSkipsAPortInUse) {
    Fixture f(active_listing);
    test::Probe probe;
    f.s->data->step_state.context = &probe;
    FtpSessionState& fs = ftp_state(*f.s).session;
    fs.local_address = "127.0.0.1";
    // Hold the next port with a listener (ours, or whoever already has it).
    int held = 21000 + static_cast<int>(::getpid() % 5000);
    test::Listener blocker(static_cast<uint16_t>(held));
    fs.data_port = held - 1;
    Done d;
    ASSERT_EQ(request_listing(*f.s, record_done, 0, &d), 0);
    ASSERT_TRUE(test::wait_until([&] { return probe.receiving.load(); }));
    EXPECT_GT(fs.data_port, held);
    raise_flag(*f.s->data, kFlagAbort);  // no accept event: the step fails
    ASSERT_TRUE(f.wait(d));
    EXPECT_EQ(d.result, 1);
}

}  // namespace
}  // namespace orvane
