// The two-channel join of a transfer command, and the listening socket of active mode.
#include "client/transfer/ftp/ftp_join.h"

#include "client/transfer/net/connection.h"
#include "client/transfer/net/transfer_engine.h"
#include "client/transfer/session/request_dispatch.h"

namespace orvane {

namespace {

// Join codes private to the two-channel operation.
enum JoinCode : int {
    kJoinData = 1,
    kJoinControl = 2,
};

void join_done(int code, void* owner, int result) {
    Session& s = *static_cast<Session*>(owner);
    FtpJoin& j = running_ftp_state(s).join;
    if (code == kJoinData) {
        j.data_result = result;
    } else {
        j.control_result = result;
        // The data step waits for its network events; the abort flag wakes it without one.
        if (result != 0 && j.data_result == kResultPending && s.data) raise_flag(*s.data, kFlagAbort);
    }
    if (j.data_result == kResultPending || j.control_result == kResultPending) return;
    int joined = (j.data_result == 0 && j.control_result == 0) ? 0 : 1;
    CompletionCallback next = j.continuation;
    int next_code = j.code;
    j.continuation = nullptr;
    if (next) next(next_code, &s, joined);
}

}  // namespace

int start_two_channel(Session& s, StepFunction data_step, StepFunction control_step,
                      CompletionCallback continuation, int code) {
    if (!s.data || !s.control || s.cancel.load() != 0) return 1;
    FtpState& st = ftp_state(s);
    FtpJoin& j = st.join;
    j.data_result = kResultPending;
    j.control_result = kResultPending;
    st.data.closed = false;
    j.continuation = continuation;
    j.code = code;
    if (post_session_step(s, *s.data, data_step, join_done, kJoinData) != 0) return 1;
    if (post_session_step(s, *s.control, control_step, join_done, kJoinControl) != 0) {
        // The data step is under way: let it end through the abort flag and report failure.
        j.control_result = 1;
        raise_flag(*s.data, kFlagAbort);
    }
    return 0;
}

void advance_data_port(int& counter) {
    constexpr int kFirst = 10000, kLast = 32000;
    // Past the last port the counter starts over: stopping there would leave every later listener
    // (and every parallel session) on the one port.
    ++counter;
    if (counter > kLast || counter < kFirst) counter = kFirst;
}

int listen_for_data(Session& s, Connection& data) {
    constexpr int kAttempts = 64;
    FtpSessionState& fs = running_ftp_state(s).session;
    data.address_text = fs.local_address;
    advance_data_port(fs.data_port);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        data.port = static_cast<uint32_t>(fs.data_port);
        // A socket that failed to bind or to listen is not reused.
        if (create_socket(data) == platform::kInvalidSocket) return 1;
        int r = bind_socket(data);
        if (r != 0) {
            advance_data_port(fs.data_port);
            if (r == platform::kBindNotAvailable) data.address_text.clear();
            continue;
        }
        if (listen_socket(data, 1) == 0) return 0;
        advance_data_port(fs.data_port);
    }
    close_socket(data);
    return 1;
}

}  // namespace orvane
