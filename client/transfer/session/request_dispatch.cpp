// Request dispatch, completion of requests, step chaining and the two-channel join.
#include "client/transfer/session/request_dispatch.h"

#include <cassert>
#include <string>

#include "client/transfer/net/transfer_engine.h"
#include "client/transfer/session/request_table.h"
#include "common/log.h"
#include "common/text.h"

namespace orvane {

namespace {

// Join codes private to the two-channel operation.
enum JoinCode : int {
    kJoinData = 1,
    kJoinControl = 2,
};

void immediate_done(int, void* owner, int result) {
    complete_request(*static_cast<Session*>(owner), result);
}

void join_done(int code, void* owner, int result) {
    Session& s = *static_cast<Session*>(owner);
    if (code == kJoinData) {
        s.data_result = result;
    } else {
        s.control_result = result;
        // The data step waits for its network events; the abort flag wakes it without one.
        if (result != 0 && s.data_result == kResultPending && s.data) raise_flag(*s.data, kFlagAbort);
    }
    if (s.data_result == kResultPending || s.control_result == kResultPending) return;
    int joined = (s.data_result == 0 && s.control_result == 0) ? 0 : 1;
    CompletionCallback next = s.join_continuation;
    int next_code = s.join_code;
    s.join_continuation = nullptr;
    if (next) next(next_code, &s, joined);
}

}  // namespace

void dispatch_request(Session& s) {
    s.requests.handler(s.protocol, s.request)(s);
}

void complete_request(Session& s, int result) {
    assert(s.requester == std::this_thread::get_id());
    DoneCallback done = s.done;
    int code = s.caller_code;
    void* object = s.caller_object;
    // Cleared first, so the callback may start the next request at once.
    s.done = nullptr;
    s.caller_code = 0;
    s.caller_object = nullptr;
    s.reply_hook = {};
    s.request = RequestKind::kNone;
    // A refusal the procedure carried on from is not why anything failed.
    if (result == 0) s.failure.clear();
    if (done) done(code, object, result);
}

void complete_request_soon(Session& s, int result) {
    s.immediate_result = result;
    // Queued straight for the pump: no event thread needs to run for a request without work.
    if (!s.control || post_finished(*s.control, immediate_done, 0, s.notify, &s, result) != 0) {
        // No connection to carry it: the slot must still come free, so complete here.
        complete_request(s, result);
    }
}

void request_not_available(Session& s) {
    // A request this protocol does not serve (yet) fails with a word, never silently.
    std::string text =
        format("ERROR: The %s request is not available for this protocol", request_name(s.request));
    session_log(s, kLevelError, text.c_str());
    complete_request_soon(s, 1);
}

void request_finish_direct(Session& s) {
    complete_request_soon(s, s.direct_result);
}

void request_complete_ok(Session& s) {
    complete_request_soon(s, 0);
}

int post_session_step(Session& s, Connection& c, StepFunction step, CompletionCallback continuation,
                      int code) {
    return post_step(c, step, continuation, code, s.notify, &s);
}

int start_two_channel(Session& s, StepFunction data_step, StepFunction control_step,
                      CompletionCallback continuation, int code) {
    if (!s.data || !s.control) return 1;
    s.data_result = kResultPending;
    s.control_result = kResultPending;
    s.data_closed = 0;
    s.join_continuation = continuation;
    s.join_code = code;
    if (post_session_step(s, *s.data, data_step, join_done, kJoinData) != 0) return 1;
    if (post_session_step(s, *s.control, control_step, join_done, kJoinControl) != 0) {
        // The data step is under way: let it end through the abort flag and report failure.
        s.control_result = 1;
        raise_flag(*s.data, kFlagAbort);
    }
    return 0;
}

void advance_data_port(int& counter) {
    ++counter;
    if (counter > 32000) counter = 32000;
    if (counter < 10000) counter = 10000;
}

int listen_for_data(Session& s, Connection& data) {
    constexpr int kAttempts = 64;
    data.address_text = s.local_address;
    advance_data_port(s.data_port);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        data.port = static_cast<uint32_t>(s.data_port);
        // A socket that failed to bind or to listen is not reused.
        if (create_socket(data) == platform::kInvalidSocket) return 1;
        int r = bind_socket(data);
        if (r != 0) {
            advance_data_port(s.data_port);
            if (r == platform::kBindNotAvailable) data.address_text.clear();
            continue;
        }
        if (listen_socket(data, 1) == 0) return 0;
        advance_data_port(s.data_port);
    }
    close_socket(data);
    return 1;
}

}  // namespace orvane
