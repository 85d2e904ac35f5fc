// The SFTP session's steps on its control connection: the connect step (name lookup, TCP, the
// HTTP proxy's CONNECT, the switch to SSH) and the operation step, which carries one engine
// operation's bytes through the SSH filter and finishes with its result.
#pragma once

#include <memory>
#include <string>

#include "client/ssh/known_hosts.h"
#include "client/ssh/sftp/sftp_client.h"
#include "client/transfer/session/request_dispatch.h"
#include "client/transfer/tls/http_proxy.h"

namespace orvane::sftp {

// Where the control connection's step stands; one setter changes it.
enum class StepPhase : int {
    kIdle = 0,
    kResolving,   // the name lookup runs
    kConnecting,  // TCP connect in progress
    kProxy,       // CONNECT sent, the proxy's answer awaited
    kOperation,   // an engine operation runs
    kCount
};
const char* step_phase_name(StepPhase phase);

// Starts one engine operation with the session's arguments: 0 when started.
using Operation = int (*)(Session& s, Client& client);

// The protocol state of an SFTP session (in Session::protocol_state). The group thread owns it
// while a step runs; the requester reads it in the step's continuation.
struct SftpState final : ProtocolState {
    std::unique_ptr<Client> client;  // made anew by each connect step
    // Read by the requester before each connect, asked by the key exchange on the group thread;
    // a new host is recorded by the requester once the connect's handshake is over.
    ssh::KnownHostsPolicy known_hosts;
    HttpConnect proxy;
    StepPhase phase = StepPhase::kIdle;
    Operation operation = nullptr;
    Transfer transfer;    // the running transfer's arguments
    std::string scratch;  // application bytes pulled from the filter
    bool timeout_reported = false;
};

SftpState& sftp_state(Session& s);

// Posts the connect step: it finishes with 0 once the connection carries SSH (the handshake
// itself runs inside the operations that follow).
int post_sftp_connect(Session& s, CompletionCallback next, int code);
// Posts a step that runs `operation` to its end; its result is the step's.
int post_sftp_operation(Session& s, Operation operation, CompletionCallback next, int code);

}  // namespace orvane::sftp
