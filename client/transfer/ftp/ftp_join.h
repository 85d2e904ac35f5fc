// The data connection's mechanics: the two-channel join of a transfer command and active-mode listening.
#pragma once

#include "client/transfer/ftp/ftp_state.h"

namespace orvane {

// The two-channel join: posts the data step on the data connection and the control step on
// the control connection together. When both have finished, continuation(code, session,
// result) runs with 0 only if both succeeded. A control step that fails while the data step
// runs ends the data step through the abort flag. 1 when either could not be posted.
// Requester's thread, with the session's FTP state made.
int start_two_channel(Session& s, StepFunction data_step, StepFunction control_step,
                      CompletionCallback continuation, int code);

// Active mode: opens a listening socket on the data connection at the control connection's
// local address and the next data port (up to 64 ports are tried). 0 on success, 1 on failure.
// Called by a step on the data connection.
int listen_for_data(Session& s, Connection& data);
// Advances the data-port counter by one within 10000..32000, starting over after 32000.
void advance_data_port(int& counter);

}  // namespace orvane
