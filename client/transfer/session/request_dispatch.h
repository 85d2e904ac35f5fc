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

// The two-channel join: posts the data step on the data connection and the control step on
// the control connection together. When both have finished, continuation(code, session,
// result) runs with 0 only if both succeeded. A control step that fails while the data step
// runs ends the data step through the abort flag. 1 when either could not be posted.
int start_two_channel(Session& s, StepFunction data_step, StepFunction control_step,
                      CompletionCallback continuation, int code);

// Active mode: opens a listening socket on the data connection at the control connection's
// local address and the next data port (up to 64 ports are tried). 0 on success, 1 on failure.
int listen_for_data(Session& s, Connection& data);
// Advances the data-port counter by one, keeping it in 10000..32000.
void advance_data_port(int& counter);

}  // namespace orvane
