// Sessions: engine lifetime, the request slot, dispatch, and path arguments.
#include "client/transfer/session/session.h"

#include <gtest/gtest.h>

#include "client/transfer/net/engine_owner.h"
#include "client/transfer/net/transfer_engine.h"
#include "client/transfer/session/remote_path.h"
#include "client/transfer/session/request_dispatch.h"
#include "client/transfer/session/request_table.h"
#include "client/transfer/session/requests.h"
#include "tests/client/transfer/net/network_test_support.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

using test::Done;
using test::record_done;

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
