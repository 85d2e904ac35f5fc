// Shared pieces of the network-core tests: a requester that waits and pumps, handlers, probes.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "client/transfer/net/connection.h"
#include "client/transfer/net/transfer_engine.h"
#include "platform/event.h"

namespace orvane::test {

// What a done callback reported: how often it ran, with which code and result.
struct Done {
    int calls = 0;
    int result = -1;
    int code = -1;
    void* object = nullptr;
};
inline void record_done(int code, void* object, int result) {
    auto* d = static_cast<Done*>(object);
    ++d->calls;
    d->code = code;
    d->result = result;
}

// A connection's setup from the parts the tests vary.
inline ConnectionSetup setup(int mode, int timeout, ReceiveHandler on_receive, SendHandler on_send,
                             StepFunction step) {
    ConnectionSetup s;
    s.security_mode = mode;
    s.timeout_seconds = timeout;
    s.on_receive = on_receive;
    s.on_send = on_send;
    s.default_step = step;
    return s;
}

// The requester's side: the notify function sets an event; run_until pumps whenever woken.
struct Requester {
    platform::Event woken;
    Notifier notifier() {
        return Notifier{[](void* self) { static_cast<Requester*>(self)->woken.set(); }, this};
    }
    template <typename Pred>
    bool run_until(TransferEngine& engine, Pred pred,
                   std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (!pred()) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return pred();
            if (woken.wait(static_cast<int>(std::min<long>(left.count(), 100))) == 1) {
                woken.reset();
                engine.pump_completions();
            }
        }
        return true;
    }
};

// Handlers in the manner of a session's: bytes to and from the step state's queues.
inline int queue_receive(Connection& c, const uint8_t* data, size_t n) {
    return c.step_state.receive_queue.append(data, n) == 0 ? 0 : 1;
}
inline int queue_send(Connection& c, uint8_t* buffer, size_t* length, size_t capacity) {
    *length = c.step_state.send_queue.take(buffer, capacity);
    return *length == 0 ? 1 : 0;
}

// What a test step saw, written on the group thread, read by the test after the completion.
struct Probe {
    uint32_t port = 0;
    size_t expect = 0;  // bytes to collect before finishing (0: until the peer closes)
    std::atomic<int> io_wakes{0};
    std::atomic<uint32_t> flags_seen{0};
    std::atomic<bool> receiving{false};
    std::atomic<int> connect_error{0};
    size_t last_size = 0;
    bool closed_by_peer = false;
};

// States of the test step: connect, then receive (and send what the send queue holds).
enum class ProbeState : int { kStart = 0, kConnecting = 1, kTransferring = 2 };

// Connects to 127.0.0.1:probe.port (unless connected), sends the send queue, and receives until
// `expect` bytes are queued, or until the peer has closed when expect is 0.
inline void probe_step(Connection& c) {
    Probe& p = *static_cast<Probe*>(c.step_state.context);
    p.flags_seen |= c.flags;
    auto& state = c.step_state.state;
    auto begin_transfer = [&] {
        state = static_cast<int>(ProbeState::kTransferring);
        if (!c.step_state.send_queue.empty() && start_send(c) == 0) return;
        start_receive(c);
        p.receiving = true;
    };
    switch (static_cast<ProbeState>(state)) {
        case ProbeState::kStart:
            if (!(c.flags & kFlagPosted)) return;
            if (c.socket_active) {
                begin_transfer();
                return;
            }
            c.address_text = "127.0.0.1";
            c.port = p.port;
            if (int r = connect_socket(c); r != 0) {
                p.connect_error = r;
                finish_step(c, 1);
                return;
            }
            register_events(c, kNetWrite | kNetConnect);
            state = static_cast<int>(ProbeState::kConnecting);
            return;
        case ProbeState::kConnecting:
            if (c.network_events.ok(kNetWrite, kNetWriteIndex)) {
                begin_transfer();
            } else if (c.network_events.has(kNetConnect) && c.network_events.errors[kNetConnectIndex] != 0) {
                p.connect_error = c.network_events.errors[kNetConnectIndex];
                finish_step(c, 1);
            } else if (c.flags & (kFlagTimedOut | kFlagAbort)) {
                finish_step(c, 1);
            }
            return;
        case ProbeState::kTransferring:
            if (c.flags & kFlagAbort) {
                close_socket(c);
                finish_step(c, 1);
                return;
            }
            if (!(c.flags & kFlagIoDone) && !c.network_events.has(kNetRead)) return;
            if (c.flags & kFlagIoDone) ++p.io_wakes;
            size_t size = c.step_state.receive_queue.size();
            if (p.expect != 0 && size >= p.expect) {
                finish_step(c, 0);
                return;
            }
            if (p.expect == 0 && (c.flags & kFlagIoDone) && size == p.last_size && p.receiving) {
                // Woken for finished I/O with nothing new: the peer has closed.
                p.closed_by_peer = true;
                finish_step(c, 0);
                return;
            }
            p.last_size = size;
            start_receive(c);
            p.receiving = true;
            return;
    }
}

}  // namespace orvane::test
