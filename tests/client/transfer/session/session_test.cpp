// Sessions: engine lifetime, the request slot, dispatch, the two-channel join, active-mode listen.
#include "client/transfer/session/session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "client/transfer/net/engine_owner.h"
#include "client/transfer/net/transfer_engine.h"
#include "client/transfer/session/remote_path.h"
#include "client/transfer/session/request_dispatch.h"
#include "client/transfer/session/request_table.h"
#include "client/transfer/session/requests.h"
#include "tests/client/transfer/net/network_test_support.h"
#include "tests/support/loopback.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

struct Done {
    int calls = 0;
    int result = -1;
    int code = -1;
    void* object = nullptr;
};
void record_done(int code, void* object, int result) {
    auto* d = static_cast<Done*>(object);
    ++d->calls;
    d->code = code;
    d->result = result;
}

// The generic handlers only, or a listing handler of the test's choosing for the FTP kinds.
RequestTable requests_with_listing(RequestHandler listing = nullptr) {
    const RequestEntry entry{RequestKind::kGetListing, listing};
    return make_request_table(
        listing ? std::span<const RequestEntry>(&entry, 1) : std::span<const RequestEntry>(), {});
}

// A session on an engine of its own, or on a shared one.
struct Fixture {
    EngineOwner own;
    EngineOwner& engines;
    test::Requester req;
    std::unique_ptr<Session> s;
    explicit Fixture(int protocol = kProtocolFtp, const RequestTable& requests = requests_with_listing(),
                     EngineOwner* shared = nullptr)
        : engines(shared ? *shared : own) {
        s = create_session(engines, requests, nullptr, nullptr, req.notifier(), protocol, 0);
        EXPECT_TRUE(s);
    }
    TransferEngine& engine() { return *engines.engine(); }
    bool wait(const Done& d, std::chrono::milliseconds timeout = 10s) {
        return req.run_until(
            engine(), [&] { return d.calls > 0; }, timeout);
    }
};

TEST(Session, LastSessionStopsTheEngineAndTheNextStartsAFreshOne) {
    EngineOwner engines;
    ASSERT_EQ(engines.engine(), nullptr) << "no engine threads before the first session";
    {
        Fixture a(kProtocolFtp, requests_with_listing(), &engines);
        Fixture b(kProtocolSftp, requests_with_listing(), &engines);
        ASSERT_NE(engines.engine(), nullptr);
        EXPECT_EQ(a.s->engine, b.s->engine);
        EXPECT_NE(a.s->data, nullptr);
        EXPECT_EQ(b.s->data, nullptr) << "SFTP has no data connection";
        size_t total = 0;
        for (size_t n : engines.engine()->group_sizes()) total += n;
        EXPECT_EQ(total, 3u);
        a.s.reset();
        EXPECT_NE(engines.engine(), nullptr);
    }
    EXPECT_EQ(engines.engine(), nullptr);
    Fixture c(kProtocolFtp, requests_with_listing(), &engines);
    ASSERT_NE(engines.engine(), nullptr);
    Done d;
    ASSERT_EQ(request_finish_with_result(*c.s, 0, record_done, 1, &d), 0);
    ASSERT_TRUE(c.wait(d)) << "the fresh engine runs steps";
}

TEST(Session, RequestsCompleteOnceThroughThePump) {
    Fixture f;
    Done d;
    ASSERT_EQ(request_finish_with_result(*f.s, 42, record_done, 9, &d), 0);
    EXPECT_EQ(d.calls, 0) << "a request returns before its work";
    EXPECT_TRUE(session_busy(*f.s));
    ASSERT_TRUE(f.wait(d));
    EXPECT_EQ(d.result, 42);
    EXPECT_EQ(d.code, 9);
    EXPECT_FALSE(session_busy(*f.s));
    // Requests that no procedure handles yet complete with 1 rather than hang.
    Done listing;
    ASSERT_EQ(request_listing(*f.s, record_done, 2, &listing), 0);
    ASSERT_TRUE(f.wait(listing));
    EXPECT_EQ(listing.result, 1);
    f.req.run_until(
        f.engine(), [] { return false; }, 100ms);
    EXPECT_EQ(d.calls, 1);
    EXPECT_EQ(listing.calls, 1);
}

TEST(Session, SftpDisconnectSucceedsAndModificationTimeFails) {
    Fixture f(kProtocolSftp);
    Done bye, mdtm;
    ASSERT_EQ(request_modification_time(*f.s, "file", record_done, 0, &mdtm), 0);
    ASSERT_TRUE(f.wait(mdtm));
    EXPECT_EQ(mdtm.result, 1);
    ASSERT_EQ(request_disconnect(*f.s, record_done, 0, &bye), 0);
    ASSERT_TRUE(f.wait(bye));
    EXPECT_EQ(bye.result, 0);
}

// A control step that runs until aborted, then fails.
void until_abort_step(Connection& c) {
    if (c.flags & kFlagAbort) finish_step(c, 1);
}
void wait_continuation(int, void* owner, int result) {
    complete_request(*static_cast<Session*>(owner), result);
}
void long_listing(Session& s) {
    post_session_step(s, *s.control, until_abort_step, wait_continuation, 0);
}

TEST(Session, SecondRequestOnABusySessionReturnsOneAndLeavesTheFirstAlone) {
    Fixture f(kProtocolFtp, requests_with_listing(long_listing));
    Done first, second;
    ASSERT_EQ(request_listing(*f.s, record_done, 1, &first), 0);
    f.s->reply_hook = {};
    EXPECT_EQ(request_connect(*f.s, "h", "p", "u", 21, ReplyHook{}, record_done, 2, &second), 1);
    EXPECT_EQ(request_finish_with_result(*f.s, 0, record_done, 2, &second), 1);
    EXPECT_EQ(f.s->host, "") << "arguments of a refused request are not stored";
    EXPECT_EQ(f.s->caller_code, 1);
    EXPECT_EQ(f.s->caller_object, &first);
    f.req.run_until(
        f.engine(), [] { return false; }, 100ms);
    EXPECT_EQ(first.calls, 0);
    raise_flag(*f.s->control, kFlagAbort);
    ASSERT_TRUE(f.wait(first));
    EXPECT_EQ(first.result, 1);
    EXPECT_EQ(second.calls, 0);
}

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

TEST(Session, TwoChannelJoinWaitsForBothAndAbortsTheDataStepWhenControlFails) {
    {
        Fixture f(kProtocolFtp, requests_with_listing(two_channel_listing));
        g_control_result = 1;
        Done d;
        ASSERT_EQ(request_listing(*f.s, record_done, 0, &d), 0);
        ASSERT_TRUE(f.wait(d));
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(f.s->control_result, 1);
        EXPECT_EQ(f.s->data_result, 1) << "the data step was ended by the abort flag";
    }
    {
        Fixture f(kProtocolFtp, requests_with_listing(two_channel_listing));
        g_control_result = 0;
        Done d;
        ASSERT_EQ(request_listing(*f.s, record_done, 0, &d), 0);
        f.req.run_until(
            f.engine(), [] { return false; }, 100ms);
        EXPECT_EQ(d.calls, 0) << "control done, data still running";
        EXPECT_EQ(f.s->control_result, 0);
        raise_flag(*f.s->data, kFlagTimedOut);
        ASSERT_TRUE(f.wait(d));
        EXPECT_EQ(d.result, 0);
    }
}

TEST(Session, DataPortCounterStaysInRange) {
    int counter = 10000;
    advance_data_port(counter);
    EXPECT_EQ(counter, 10001);
    counter = 31999;
    advance_data_port(counter);
    advance_data_port(counter);
    EXPECT_EQ(counter, 32000);
    counter = 5;
    advance_data_port(counter);
    EXPECT_EQ(counter, 10000);
    counter = 99999;
    advance_data_port(counter);
    EXPECT_EQ(counter, 32000);
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

TEST(Session, ActiveModeListensOnTheNextDataPortAndAccepts) {
    Fixture f(kProtocolFtp, requests_with_listing(active_listing));
    test::Probe probe;
    f.s->data->step_state.context = &probe;
    f.s->local_address = "127.0.0.1";
    f.s->data_port = 20000 + static_cast<int>(::getpid() % 5000);
    int before = f.s->data_port;
    Done d;
    ASSERT_EQ(request_listing(*f.s, record_done, 0, &d), 0);
    ASSERT_TRUE(test::wait_until([&] { return probe.receiving.load(); }));
    EXPECT_GT(f.s->data_port, before);
    EXPECT_LE(f.s->data_port, 32000);
    int peer = test::connect_loopback(static_cast<uint16_t>(f.s->data_port));
    ASSERT_GE(peer, 0);
    test::send_all(peer, "-rw-r--r-- 1 u g 5 Jan 1 2024 a.txt\r\n");
    test::close_fd(peer);
    ASSERT_TRUE(f.wait(d));
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(f.s->data->step_state.receive_queue.contents(), "-rw-r--r-- 1 u g 5 Jan 1 2024 a.txt\r\n");
}

TEST(Session, ActiveModeSkipsAPortInUse) {
    Fixture f(kProtocolFtp, requests_with_listing(active_listing));
    test::Probe probe;
    f.s->data->step_state.context = &probe;
    f.s->local_address = "127.0.0.1";
    // Hold the next port with a listener (ours, or whoever already has it).
    int held = 21000 + static_cast<int>(::getpid() % 5000);
    test::Listener blocker(static_cast<uint16_t>(held));
    f.s->data_port = held - 1;
    Done d;
    ASSERT_EQ(request_listing(*f.s, record_done, 0, &d), 0);
    ASSERT_TRUE(test::wait_until([&] { return probe.receiving.load(); }));
    EXPECT_GT(f.s->data_port, held);
    raise_flag(*f.s->data, kFlagAbort);  // no accept event: the step fails
    ASSERT_TRUE(f.wait(d));
    EXPECT_EQ(d.result, 1);
}

TEST(RemotePath, JoinAndNormalise) {
    EXPECT_EQ(join_remote_path("docs", "/pub"), "/pub/docs");
    EXPECT_EQ(join_remote_path("x", "/"), "/x");
    EXPECT_EQ(join_remote_path("/abs//p/", "/pub"), "/abs/p");
    EXPECT_EQ(normalize_remote_path("a//b\\c/"), "/a/b/c");
    EXPECT_EQ(normalize_remote_path("  //x"), "/x");
    EXPECT_EQ(normalize_remote_path("/"), "/");
    EXPECT_EQ(normalize_remote_path("a/../b"), "/a/../b");
}

TEST(Session, RelativePathArgumentsAreJoinedToTheRemoteFolder) {
    Fixture f;
    f.s->remote_folder = "/pub";
    Done d;
    ASSERT_EQ(request_make_folder(*f.s, "new//dir/", record_done, 0, &d), 0);
    EXPECT_EQ(f.s->path1, "/pub/new/dir");
    ASSERT_TRUE(f.wait(d));
    Done r;
    ASSERT_EQ(request_rename(*f.s, "a", "/b/c", record_done, 0, &r), 0);
    EXPECT_EQ(f.s->path1, "/pub/a");
    EXPECT_EQ(f.s->path2, "/b/c");
    ASSERT_TRUE(f.wait(r));
}

}  // namespace
}  // namespace orvane
