// Request dispatch, completion of requests and step chaining.
#include "client/transfer/session/request_dispatch.h"

#include <cassert>
#include <string>

#include "client/transfer/net/transfer_engine.h"
#include "client/transfer/session/request_table.h"
#include "common/log.h"
#include "common/text.h"

namespace orvane {

namespace {

void immediate_done(int, void* owner, int result) {
    complete_request(*static_cast<Session*>(owner), result);
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

}  // namespace orvane
