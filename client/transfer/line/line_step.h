// The one step over a connection that drives a line engine: resolve and connect, bytes in and out,
// close and timeout, the switch to TLS. The line protocols never touch the connection themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "client/transfer/line/line_channel.h"
#include "client/transfer/net/connection.h"

namespace orvane {

// Where the step stands (the connection's step-state number).
enum class LineStepState : int {
    kIdle = 0,
    kConnecting = 1,  // waiting for the TCP connect
    kExchanging = 2,  // the engine waits for bytes or for its output to leave
    kResolving = 3,   // waiting for the host name's lookup
    kCount,
};
const char* line_step_state_name(LineStepState state);

// The step's memory of one connection, kept by the protocol beside its engine.
struct LineLink {
    LineEngine* engine = nullptr;
    uint64_t fed = 0;           // bytes given to the engine on this connection
    uint64_t receive_mark = 0;  // `fed` when the running receive started
    bool receiving = false;     // a receive of ours has started and not yet shown its bytes
    bool describe_pending = false;
    int own_timeout = -1;  // the connection's own time while the engine asks for another; -1 none
    std::string unsent;    // output not yet in the send queue (a large mail message goes in slices)
    size_t unsent_at = 0;
};

// A posted connect: the connection goes plain, the host is looked up and connected; the engine
// hears connected() or connect_failed().
void line_step_connect(Connection& c, LineLink& link, const std::string& host, uint32_t port);
// A posted exchange: the engine hears started() and its next() is carried out.
void line_step_start(Connection& c, LineLink& link);
// Every other wake-up of the step.
void line_step_wake(Connection& c, LineLink& link);
// Forgets output not yet queued, wiping it (the end of an exchange, or of its owner).
void line_step_release(LineLink& link);

// A connection's handlers when all its steps are line steps: bytes received wait in the receive
// queue for the step, bytes to send come from the send queue.
int line_receive(Connection& c, const uint8_t* data, size_t n);
int line_send(Connection& c, uint8_t* buffer, size_t* length, size_t capacity);

}  // namespace orvane
