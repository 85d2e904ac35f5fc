// The step that drives a line engine over a connection: the only code of the line protocols that
// reads the connection's flags, events, queues, socket, filter and times.
#include "client/transfer/line/line_step.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <utility>

#include "common/log.h"
#include "common/secret.h"

namespace orvane {

namespace {

constexpr const char* kStateNames[] = {"idle", "connecting", "exchanging", "resolving"};
static_assert(sizeof kStateNames / sizeof kStateNames[0] == static_cast<size_t>(LineStepState::kCount),
              "one name per step state");

LineStepState state_of(const Connection& c) {
    int v = c.step_state.state;
    return v >= 0 && v < static_cast<int>(LineStepState::kCount) ? static_cast<LineStepState>(v)
                                                                 : LineStepState::kIdle;
}

void set_state(Connection& c, LineLink& l, LineStepState state) {
    LineStepState old = state_of(c);
    c.step_state.state = static_cast<int>(state);
    if (old != state && l.engine->tracing())
        l.engine->log(kLevelInfo, std::string(l.engine->name()) + " state: " + line_step_state_name(old) +
                                      " -> " + line_step_state_name(state));
}

// The engine's own limit replaces the connection's time while it asks for one (the shorter wins);
// either change starts the idle count again.
void apply_time_limit(Connection& c, LineLink& l) {
    int want = l.engine->time_limit();
    if (want >= 0 && l.own_timeout < 0) {
        l.own_timeout = c.timeout_seconds;
        bool own_shorter = c.timeout_seconds > 0 && c.timeout_seconds < want;
        c.timeout_seconds = own_shorter ? c.timeout_seconds : want;
        c.idle_seconds = 0;
    } else if (want < 0 && l.own_timeout >= 0) {
        c.timeout_seconds = l.own_timeout;
        l.own_timeout = -1;
        c.idle_seconds = 0;
    }
}
// True when the time that ran out was the engine's limit rather than the connection's own.
bool engine_limit_ran_out(const LineLink& l) {
    return l.own_timeout >= 0 && !(l.own_timeout > 0 && l.own_timeout < l.engine->time_limit());
}

void reset_reading(LineLink& l) {
    l.fed = 0;
    l.receive_mark = 0;
    l.receiving = false;
}

void begin_receive(Connection& c, LineLink& l) {
    l.receiving = true;
    l.receive_mark = l.fed;
    start_receive(c);
}

// Keeps a receive going while the engine waits. A receive that ended without bytes means the
// peer has closed (or sent only TLS records): wait for the socket's read or close event then.
void keep_receiving(Connection& c, LineLink& l) {
    if (c.receive_pending || c.send_pending) return;
    bool io_done = (c.flags & kFlagIoDone) != 0;
    bool readable = c.network_events.ok(kNetRead, kNetReadIndex);
    if (!io_done && !readable) return;
    if (io_done && !readable && l.receiving && l.fed == l.receive_mark) {
        l.receiving = false;
        return;
    }
    begin_receive(c, l);
}

void log_through_engine(void* user, const char* text, int level, int) {
    static_cast<LineEngine*>(user)->log(level, text);
}

// Moves what the receive handler queued into the engine; a new TLS session is described first.
void feed(Connection& c, LineLink& l) {
    ByteQueue& q = c.step_state.receive_queue;
    if (q.empty()) return;
    std::string bytes = q.contents();
    q.clear();
    l.fed += bytes.size();
    if (l.describe_pending && c.security_mode == kSecurityTls && c.filter &&
        c.filter->describe(log_through_engine, l.engine) == 0)
        l.describe_pending = false;
    l.engine->receive(bytes);
}

// Output goes into the send queue a slice at a time, the next once the last has left: a message
// with attachments may be larger than the queue holds, and is not held twice.
constexpr size_t kSendSlice = 1u << 20;

// Queues the next slice and sends it: 0 sending, 1 when nothing could be sent.
int push_output(Connection& c, LineLink& l) {
    size_t n = std::min(l.unsent.size() - l.unsent_at, kSendSlice);
    int refused = c.step_state.send_queue.append(l.unsent.data() + l.unsent_at, n);
    l.unsent_at += n;
    if (refused != 0 || l.unsent_at == l.unsent.size()) line_step_release(l);
    return refused != 0 ? 1 : start_send(c);
}

void send_output(Connection& c, LineLink& l, std::string& bytes) {
    c.step_state.send_queue.clear();
    line_step_release(l);
    l.unsent = std::move(bytes);
    if (push_output(c, l) != 0) raise_flag(c, kFlagIoDone);
}

// Credentials leave no copy behind in the connection's buffers once their line has gone.
void wipe_sent(Connection& c) {
    OPENSSL_cleanse(c.send_buffer.data(), c.send_buffer.size());
    OPENSSL_cleanse(c.filter_buffer.data(), c.filter_buffer.size());
}

std::string filter_cause(const Connection& c) {
    return with_filter_cause(c, "");
}

// The switch asked for by kStartTls. Bytes received in plain text before it can only be the
// server's first TLS records; they go to the filter, never to the engine as if protected.
void start_tls(Connection& c, LineLink& l) {
    LineEngine& e = *l.engine;
    if (set_security_tls(c) != 0 || !c.filter) {
        e.tls_failed(LineEngine::TlsError::kUnavailable, "");
        return;
    }
    std::string early = e.take_early_tls_input();
    ByteQueue& q = c.step_state.receive_queue;
    early += q.contents();
    q.clear();
    if (!early.empty())
        give_filter_early_input(c, reinterpret_cast<const uint8_t*>(early.data()), early.size());
    wipe_secret(early);
    if (c.filter->start() != 0) {
        e.tls_failed(LineEngine::TlsError::kHandshake, filter_cause(c));
        return;
    }
    reset_reading(l);
    l.describe_pending = e.describes_tls();
}

enum class Then { kKeepReceiving, kBeginReceive, kReadFirst };

// Carries out what the engine asks until it waits or finishes.
void carry_out(Connection& c, LineLink& l, Then then) {
    LineEngine& e = *l.engine;
    bool tls_started = false;
    for (;;) {
        LineNext n = e.next();
        apply_time_limit(c, l);
        if (e.sent_secret()) wipe_sent(c);
        if (n.kind == LineNext::kStartTls) {
            start_tls(c, l);
            tls_started = true;
            then = Then::kBeginReceive;
            continue;
        }
        if (n.kind == LineNext::kFinish) {
            line_step_release(l);  // what had not gone by the end never goes
            if (e.restart_reads()) {
                c.receive_pending = false;  // a read still waiting is started again through TLS
                c.read_ahead = false;
            }
            if (n.close) close_socket(c);
            set_state(c, l, LineStepState::kIdle);
            finish_step(c, n.result);
            return;
        }
        set_state(c, l, LineStepState::kExchanging);
        std::string out = e.take_output();
        if (!out.empty()) {
            l.receiving = false;
            send_output(c, l, out);
            return;
        }
        if (then == Then::kKeepReceiving) {
            keep_receiving(c, l);
            return;
        }
        // Nothing to say yet, but a new TLS session's handshake must go out.
        if (tls_started && !c.send_pending) start_send(c);
        begin_receive(c, l);
        return;
    }
}

void connect_now(Connection& c, LineLink& l) {
    c.step_state.receive_queue.clear();
    int error = 0;
    if (start_connect(c, error) != 0) {
        l.engine->connect_failed(LineEngine::ConnectError::kStart, error);
        carry_out(c, l, Then::kKeepReceiving);
        return;
    }
    set_state(c, l, LineStepState::kConnecting);
}

void on_resolving(Connection& c, LineLink& l) {
    if (c.flags & kFlagResolved) {
        int r = finish_resolve(c);
        if (r == 0) {
            connect_now(c, l);
            return;
        }
        if (r == 1) {
            l.engine->connect_failed(LineEngine::ConnectError::kResolve, 0);
            carry_out(c, l, Then::kKeepReceiving);
            return;
        }
    }
    if (c.flags & kFlagTimedOut) {
        l.engine->timed_out();
        carry_out(c, l, Then::kKeepReceiving);
    }
}

void on_connecting(Connection& c, LineLink& l) {
    int error = 0;
    ConnectOutcome outcome = connect_outcome(c, error);
    if (outcome == ConnectOutcome::kWaiting) return;
    if (outcome == ConnectOutcome::kConnected) {
        std::string address;
        uint32_t port = 0;
        local_address(c, address, port);
        register_events(c, kNetRead | kNetClose);
        l.engine->connected(address, port);
        carry_out(c, l, Then::kBeginReceive);
        return;
    }
    if (outcome == ConnectOutcome::kTimedOut)
        l.engine->timed_out();
    else
        l.engine->connect_failed(LineEngine::ConnectError::kEstablish, error);
    carry_out(c, l, Then::kKeepReceiving);
}

void on_exchanging(Connection& c, LineLink& l) {
    LineEngine& e = *l.engine;
    if (c.send_pending) {
        // A server that stops reading never takes the line either.
        if (c.flags & kFlagTimedOut) {
            e.send_stalled();
            carry_out(c, l, Then::kKeepReceiving);
        }
        return;
    }
    bool closing = c.network_events.has(kNetClose) || c.socket == platform::kInvalidSocket;
    if (!l.unsent.empty()) {
        // The rest of a large output goes on; a peer that has gone takes none of it.
        if (!closing && push_output(c, l) == 0) return;
        line_step_release(l);
    }
    bool overflowed = c.step_state.receive_queue.overflowed();
    feed(c, l);
    if (overflowed) e.input_overflowed();
    if ((c.flags & kFlagIoDone) || c.network_events.has(kNetClose)) e.output_sent();
    if (c.flags & kFlagAbort) e.aborted();
    if (c.security_mode == kSecurityTls && c.filter && c.filter->error())
        e.tls_failed(
            c.filter->established() ? LineEngine::TlsError::kBroken : LineEngine::TlsError::kHandshake,
            filter_cause(c));
    // Bytes that came before a close are read first: the rest of a reply, or a TLS alert that
    // says why the server gave up.
    bool read_first = closing && c.network_events.has(kNetRead) && c.socket != platform::kInvalidSocket &&
                      !c.receive_pending;
    if (closing && !read_first) e.closed();
    if ((c.flags & kFlagTimedOut) && !read_first) {
        if (engine_limit_ran_out(l))
            e.limit_expired();
        else
            e.timed_out();
    }
    carry_out(c, l, read_first ? Then::kBeginReceive : Then::kKeepReceiving);
}

using StateHandler = void (*)(Connection& c, LineLink& l);
void on_idle(Connection&, LineLink&) {}
constexpr StateHandler kStateHandlers[] = {on_idle, on_connecting, on_exchanging, on_resolving};
static_assert(sizeof kStateHandlers / sizeof kStateHandlers[0] == static_cast<size_t>(LineStepState::kCount),
              "one handler per step state");

}  // namespace

const char* line_step_state_name(LineStepState state) {
    int i = static_cast<int>(state);
    return i >= 0 && i < static_cast<int>(LineStepState::kCount) ? kStateNames[i] : "unknown";
}

void line_step_connect(Connection& c, LineLink& l, const std::string& host, uint32_t port) {
    c.time_rule = TimeRule::kWhole;  // a greeting or reply that trickles in is bounded as a whole
    reset_reading(l);
    l.describe_pending = false;
    apply_time_limit(c, l);
    set_security_plain(c);
    c.host_text = host;
    c.port = port;
    // The lookup runs on a thread of its own: a slow resolver must not stall this thread's other
    // connections.
    int r = start_resolve(c);
    if (r == 1) {
        l.engine->connect_failed(LineEngine::ConnectError::kResolve, 0);
        carry_out(c, l, Then::kKeepReceiving);
        return;
    }
    if (r == 2) {
        set_state(c, l, LineStepState::kResolving);
        return;
    }
    connect_now(c, l);
}

void line_step_start(Connection& c, LineLink& l) {
    c.time_rule = TimeRule::kWhole;
    l.engine->started(c.socket != platform::kInvalidSocket && c.socket_active);
    // A stop that came with the start is acted on once the command has gone out.
    if (c.flags & kFlagCancel) l.engine->cancelled();
    carry_out(c, l, Then::kBeginReceive);
}

void line_step_wake(Connection& c, LineLink& l) {
    LineStepState state = state_of(c);
    if ((c.flags & kFlagCancel) && state != LineStepState::kIdle) {
        l.engine->cancelled();
        // Nothing is on the way yet while a connect runs: the engine ends it at once.
        if (state == LineStepState::kResolving || state == LineStepState::kConnecting) {
            carry_out(c, l, Then::kKeepReceiving);
            return;
        }
    }
    kStateHandlers[static_cast<int>(state)](c, l);
}

void line_step_release(LineLink& l) {
    wipe_secret(l.unsent);
    std::string().swap(l.unsent);  // it may have held a large message
    l.unsent_at = 0;
}

int line_receive(Connection& c, const uint8_t* data, size_t n) {
    if (n == 0) return 0;
    // A queue at its limit refuses the bytes; the step sees the overflow and fails.
    return c.step_state.receive_queue.append(data, n) == 0 ? 0 : 1;
}

int line_send(Connection& c, uint8_t* buffer, size_t* length, size_t capacity) {
    *length = c.step_state.send_queue.take(buffer, capacity);
    return *length == 0 ? 1 : 0;
}

}  // namespace orvane
