// The one dispatch point of requests: a handler per protocol kind and request, and the helpers
// that procedures use to chain steps and to complete their request.
#pragma once

#include "client/transfer/session/session.h"

namespace orvane {

// Runs the session's current request through the handler its table holds for it.
void dispatch_request(Session& s);

// Completes the running request: clears the request slot (done callback, code, object, reply
// hook) and then calls the done callback. Requester's thread only (a continuation).
void complete_request(Session& s, int result);
// Completes the running request through the completion pump, for requests without work.
void complete_request_soon(Session& s, int result);

// Posts a step on one of the session's connections; when it finishes, continuation(code,
// session, result) runs on the requester's thread. 1 when the connection's step slot is busy.
int post_session_step(Session& s, Connection& c, StepFunction step, CompletionCallback continuation,
                      int code);

}  // namespace orvane
