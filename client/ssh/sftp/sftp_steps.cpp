// The SFTP control connection's steps: connect (lookup, TCP, the proxy's CONNECT, the switch to
// SSH) and one engine operation carried through the SSH filter, with the timeout and the peer's end.
#include "client/ssh/sftp/sftp_steps.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "client/ssh/ssh_session.h"
#include "common/log.h"
#include "common/secret.h"
#include "common/text.h"
#include "platform/system.h"

namespace orvane::sftp {

namespace {

// Large blocks: fewer system calls and filter rounds per byte moved.
constexpr size_t kIoBlock = 256 * 1024;
// Engine input beyond which reading pauses until the engine has caught up (the SSH window then
// stops the server too).
constexpr size_t kInputPause = 8u << 20;
constexpr size_t kPullBlock = 64 * 1024;
constexpr size_t kProxyQueueLimit = 64 * 1024;

constexpr const char* kPhaseNames[] = {"idle", "resolving", "connecting", "proxy", "operation"};
static_assert(sizeof kPhaseNames / sizeof kPhaseNames[0] == static_cast<size_t>(StepPhase::kCount),
              "one name per step phase");

Session& session_of(Connection& c) {
    return *c.step_state.session;
}

void set_phase(Connection& c, SftpState& st, StepPhase to) {
    st.phase = to;
    c.step_state.state = static_cast<int>(to);
}

void log_text(const Session& s, int level, const std::string& text) {
    session_log(s, level, text.c_str());
}

void end_step(Connection& c, SftpState& st, int result) {
    set_phase(c, st, StepPhase::kIdle);
    finish_step(c, result);
}

// The step's one failure point: the message is logged and the request's failure keeps its kind.
void fail_step(Connection& c, SftpState& st, FailureKind kind, const std::string& message) {
    Session& s = session_of(c);
    if (!message.empty()) log_text(s, kLevelError, message);
    s.failure.set(kind, message);
    end_step(c, st, 1);
}

// What kind of failure ended the SSH session (it has said why); the peer's end when it did not.
FailureKind carrier_kind(const Connection& c) {
    const auto* session = dynamic_cast<const ssh::SshSession*>(c.filter.get());
    return session != nullptr && session->failure() ? session->failure().kind : FailureKind::kRemote;
}

void report_timeout(Session& s, SftpState& st) {
    if (st.timeout_reported) return;
    st.timeout_reported = true;
    log_text(s, kLevelError, format("ERROR: The server did not answer within %d seconds", s.timeout));
}

// The server fell silent before the connection carried SSH: the connection goes.
void fail_timed_out(Connection& c, Session& s, SftpState& st) {
    report_timeout(s, st);
    close_socket(c);
    fail_step(c, st, FailureKind::kTimeout, "");
}

void log_through_session(void* user, const char* text, int level, int) {
    session_log(*static_cast<const Session*>(user), level, text);
}

// ---- the connection's handlers ----

Client* client_of(Connection& c) {
    Session* s = c.step_state.session;
    if (!s || !s->protocol_state) return nullptr;
    return static_cast<SftpState*>(s->protocol_state.get())->client.get();
}

// The SSH filter's application bytes go straight into the engine; reading pauses while the engine
// holds more than it has worked through.
int sftp_receive(Connection& c, const uint8_t* data, size_t n) {
    Client* client = client_of(c);
    if (!client) return 1;
    client->receive(std::string_view(reinterpret_cast<const char*>(data), n));
    return client->input_held() >= kInputPause ? 1 : 0;
}

int sftp_send(Connection& c, uint8_t* buffer, size_t* length, size_t capacity) {
    Client* client = client_of(c);
    *length = 0;
    if (!client) return 1;
    std::string_view out = client->output_view();
    size_t n = std::min(out.size(), capacity);
    if (n > 0) std::memcpy(buffer, out.data(), n);
    client->output_sent(n);
    *length = n;
    return n == 0 ? 1 : 0;
}

// A read is started when bytes wait or the socket said it is readable. A read that brought
// nothing (the peer closed) is not repeated: the close event says the rest.
void keep_receiving(Connection& c) {
    if (c.receive_pending || c.socket == platform::kInvalidSocket) return;
    if ((c.flags & kFlagPosted) || c.network_events.has(kNetRead) ||
        platform::socket_bytes_waiting(c.socket) > 0)
        start_receive(c);
}

// ---- connect ----

void start_ssh(Connection& c, Session& s, SftpState& st, const std::string& early) {
    FilterConfig config;
    config.host = s.host;
    config.port = static_cast<uint16_t>(s.port);
    config.user = s.user;
    config.password = s.password;
    config.private_key_file = s.key_file;
    config.pass_phrase = s.pass_phrase;
    config.host_key = st.known_hosts.decision();
    config.timeout_seconds = s.timeout;
    c.step_state.receive_queue.clear();
    c.step_state.send_queue.clear();
    // The proxy's request held its password.
    OPENSSL_cleanse(c.send_buffer.data(), c.send_buffer.size());
    if (set_security(c, kSecuritySsh, config) != 0 || !c.filter) {
        close_socket(c);
        fail_step(c, st, FailureKind::kLocal, "ERROR: SSH is not available for this connection");
        return;
    }
    c.on_receive = sftp_receive;
    c.on_send = sftp_send;
    if (!c.receive_pending && !c.send_pending) set_io_block(c, kIoBlock);
    if (!early.empty())
        give_filter_early_input(c, reinterpret_cast<const uint8_t*>(early.data()), early.size());
    if (c.filter->start() != 0) {
        close_socket(c);
        fail_step(c, st, carrier_kind(c), with_filter_cause(c, "ERROR: The SSH session could not start"));
        return;
    }
    end_step(c, st, 0);
}

void fail_connect(Connection& c, Session& s, SftpState& st, int error) {
    close_socket(c);
    bool via_proxy = s.proxy_enabled != 0;
    std::string message =
        format("ERROR: Could not connect to %s%s:%u", via_proxy ? "the proxy server " : "",
               via_proxy ? s.proxy_host.c_str() : s.host.c_str(), via_proxy ? s.proxy_port : s.port);
    if (error != 0) message += " (" + platform::error_text(error) + ")";
    fail_step(c, st, FailureKind::kLocal, message);
}

void connect_now(Connection& c, Session& s, SftpState& st) {
    int error = 0;
    if (start_connect(c, error) != 0) {
        fail_connect(c, s, st, error);
        return;
    }
    set_phase(c, st, StepPhase::kConnecting);
}

void begin_connect(Connection& c, Session& s, SftpState& st) {
    // The SSH session bounds its own exchange steps; the idle count is only the backstop then.
    c.time_rule = TimeRule::kIdle;
    // Plain bytes through the session's queues until the connection carries SSH.
    set_security_plain(c);
    c.on_receive = session_receive;
    c.on_send = session_send;
    c.step_state.receive_queue.clear();
    c.step_state.receive_queue.set_limit(kProxyQueueLimit);
    c.step_state.send_queue.clear();
    st.client = std::make_unique<Client>(log_through_session, &s);
    st.client->watch_progress(&s.progress_bytes, &s.progress_total);
    st.proxy = HttpConnect();
    st.timeout_reported = false;
    bool via_proxy = s.proxy_enabled != 0;
    c.host_text = via_proxy ? s.proxy_host : s.host;
    c.port = via_proxy ? s.proxy_port : s.port;
    int r = start_resolve(c);
    if (r == 1) {
        fail_step(c, st, FailureKind::kLocal, "ERROR: Could not resolve host " + c.host_text);
        return;
    }
    if (r == 2) {
        set_phase(c, st, StepPhase::kResolving);
        return;
    }
    connect_now(c, s, st);
}

void on_resolving(Connection& c, Session& s, SftpState& st) {
    if (c.flags & kFlagResolved) {
        int r = finish_resolve(c);
        if (r == 0) {
            connect_now(c, s, st);
            return;
        }
        if (r == 1) {
            fail_step(c, st, FailureKind::kLocal, "ERROR: Could not resolve host " + c.host_text);
            return;
        }
    }
    if (c.flags & kFlagTimedOut) fail_timed_out(c, s, st);
}

void send_proxy_request(Connection& c, Session& s, SftpState& st) {
    ProxySettings proxy;
    proxy.enabled = true;
    proxy.type = s.proxy_type;
    proxy.host = s.proxy_host;
    proxy.port = static_cast<int>(s.proxy_port);
    proxy.user = s.proxy_user;
    proxy.password = s.proxy_password;
    std::string request;
    int r = st.proxy.request(proxy, s.host, static_cast<int>(s.port), request);
    wipe_secret(proxy.password);
    if (r != 0 || c.step_state.send_queue.append(request) != 0) {
        wipe_secret(request);
        close_socket(c);
        fail_step(c, st, FailureKind::kLocal, "");
        return;
    }
    wipe_secret(request);
    set_phase(c, st, StepPhase::kProxy);
    if (start_send(c) != 0) raise_flag(c, kFlagIoDone);
}

void on_connecting(Connection& c, Session& s, SftpState& st) {
    int error = 0;
    ConnectOutcome outcome = connect_outcome(c, error);
    if (outcome == ConnectOutcome::kConnected) {
        register_events(c, kNetRead | kNetClose);
        if (s.proxy_enabled) {
            log_text(s, kLevelInfo,
                     format("Connected to proxy server %s:%u", s.proxy_host.c_str(), s.proxy_port));
            send_proxy_request(c, s, st);
            return;
        }
        log_text(s, kLevelInfo, format("Connected to remote SSH server %s:%u", s.host.c_str(), s.port));
        start_ssh(c, s, st, "");
        return;
    }
    if (outcome == ConnectOutcome::kWaiting) return;
    if (outcome == ConnectOutcome::kTimedOut) {
        fail_timed_out(c, s, st);
        return;
    }
    fail_connect(c, s, st, error);
}

void on_proxy(Connection& c, Session& s, SftpState& st) {
    ByteQueue& q = c.step_state.receive_queue;
    if (!q.empty()) {
        std::string bytes = q.contents();
        q.clear();
        int r = st.proxy.receive(bytes);
        if (r == 1) {
            close_socket(c);
            fail_step(c, st, FailureKind::kRemote, "");
            return;
        }
        if (r == 0) {
            log_text(
                s, kLevelInfo,
                format("Connected to remote SSH server %s:%u through the proxy", s.host.c_str(), s.port));
            start_ssh(c, s, st, st.proxy.take_rest());
            return;
        }
    }
    if (q.overflowed()) {
        close_socket(c);
        fail_step(c, st, FailureKind::kProtocol, "ERROR: The proxy's answer is too long");
        return;
    }
    if (c.send_pending || c.receive_pending) return;
    if (c.network_events.has(kNetClose) || c.socket == platform::kInvalidSocket) {
        // A proxy that refuses (a 407, say) sends its answer and closes at once: the answer is read
        // before the close is taken as the end, or its status line would be lost with it.
        if (c.socket != platform::kInvalidSocket && platform::socket_bytes_waiting(c.socket) > 0) {
            start_receive(c);
            return;
        }
        close_socket(c);
        fail_step(c, st, FailureKind::kRemote, "ERROR: The proxy server closed the connection");
        return;
    }
    if (c.flags & kFlagTimedOut) {
        fail_timed_out(c, s, st);
        return;
    }
    keep_receiving(c);
}

// ---- operations ----

// Application bytes the filter still holds (reading paused, or the engine was behind). The count.
size_t pull_held(Connection& c, SftpState& st) {
    if (!c.filter) return 0;
    size_t total = 0;
    st.scratch.resize(kPullBlock);
    while (st.client->input_held() < kInputPause) {
        size_t n =
            c.filter->get_application(reinterpret_cast<uint8_t*>(st.scratch.data()), st.scratch.size());
        if (n == 0) break;
        st.client->receive(std::string_view(st.scratch.data(), n));
        total += n;
    }
    return total;
}

// What ends an operation from outside the engine: the SSH session failed (it has said why), the
// peer closed, or the server fell silent. kPending when none of these.
int carrier_check(Connection& c, Session& s, SftpState& st) {
    Client& client = *st.client;
    if (c.filter && c.filter->error()) {
        client.fail_carrier("", carrier_kind(c));
        close_socket(c);
        return client.step();
    }
    if (c.network_events.has(kNetClose) || c.socket == platform::kInvalidSocket) {
        // Bytes that came before the close are read first.
        if (c.network_events.has(kNetRead) && c.socket != platform::kInvalidSocket && !c.receive_pending) {
            start_receive(c);
            return kPending;
        }
        if (c.receive_pending) return kPending;
        client.receive_closed();
        close_socket(c);
        return client.step();
    }
    if (c.flags & kFlagTimedOut) {
        report_timeout(s, st);
        client.fail_no_answer(s.timeout);
        close_socket(c);
        return client.step();
    }
    return kPending;
}

void flush_output(Connection& c, Client& client) {
    if (c.send_pending || c.socket == platform::kInvalidSocket) return;
    if (client.has_output() || (c.filter && c.filter->output_pending())) start_send(c);
}

void advance(Connection& c, Session& s, SftpState& st) {
    Client& client = *st.client;
    int r = kPending;
    // Taking held bytes may free room for more: repeat while it moves anything.
    for (int round = 0; round < 64; ++round) {
        size_t pulled = pull_held(c, st);
        r = client.step();
        if (r != kPending || pulled == 0) break;
    }
    if (r == kPending) r = carrier_check(c, s, st);
    flush_output(c, client);
    if (r != kPending) {
        if (r != 0) s.failure.set(client.failure().kind, client.failure().cause);
        end_step(c, st, r);
        return;
    }
    keep_receiving(c);
}

void begin_operation(Connection& c, Session& s, SftpState& st) {
    set_phase(c, st, StepPhase::kOperation);
    // A server that keeps a transfer alive with a byte now and then is as stuck as a silent one.
    c.time_rule = TimeRule::kLowSpeed;
    st.timeout_reported = false;
    if (!st.client || !c.filter || c.socket == platform::kInvalidSocket || st.client->broken()) {
        fail_step(c, st, FailureKind::kLocal, "ERROR: Not connected");
        return;
    }
    if (!st.operation || st.operation(s, *st.client) != 0) {
        fail_step(c, st, FailureKind::kLocal, "ERROR: The SFTP session is busy");
        return;
    }
    advance(c, s, st);
}

using PhaseHandler = void (*)(Connection& c, Session& s, SftpState& st);
void on_idle(Connection&, Session&, SftpState&) {}
constexpr PhaseHandler kPhaseHandlers[] = {on_idle, on_resolving, on_connecting, on_proxy, advance};
static_assert(sizeof kPhaseHandlers / sizeof kPhaseHandlers[0] == static_cast<size_t>(StepPhase::kCount),
              "one handler per step phase");

// The user's stop closes the session: SFTP has no way to take back the requests in flight, and
// replies that came late would be matched against the next operation's.
void cancel_phase(Connection& c, Session& s, SftpState& st) {
    close_socket(c);
    if (st.phase == StepPhase::kOperation && st.client) {
        st.client->fail_carrier("ERROR: Interrupted", FailureKind::kUser);
        int r = st.client->step();
        s.failure.set(FailureKind::kUser, "Interrupted");
        (void)r;
        end_step(c, st, 1);
        return;
    }
    fail_step(c, st, FailureKind::kUser, "ERROR: Interrupted");
}

void dispatch_wake(Connection& c) {
    Session& s = session_of(c);
    SftpState& st = sftp_state(s);
    int phase = static_cast<int>(st.phase);
    if (phase < 0 || phase >= static_cast<int>(StepPhase::kCount)) phase = 0;
    // The session's count rather than the flag: a stop that came with the step's start is not lost.
    if (s.cancel.load() != 0 && st.phase != StepPhase::kIdle) {
        cancel_phase(c, s, st);
        return;
    }
    kPhaseHandlers[phase](c, s, st);
}

void connect_step(Connection& c) {
    if (c.flags & kFlagPosted) {
        Session& s = session_of(c);
        begin_connect(c, s, sftp_state(s));
        if (s.cancel.load() != 0) dispatch_wake(c);
        return;
    }
    dispatch_wake(c);
}

void operation_step(Connection& c) {
    if (c.flags & kFlagPosted) {
        Session& s = session_of(c);
        begin_operation(c, s, sftp_state(s));
        if (s.cancel.load() != 0) dispatch_wake(c);
        return;
    }
    dispatch_wake(c);
}

}  // namespace

const char* step_phase_name(StepPhase phase) {
    int i = static_cast<int>(phase);
    return i >= 0 && i < static_cast<int>(StepPhase::kCount) ? kPhaseNames[i] : "unknown";
}

SftpState& sftp_state(Session& s) {
    if (!s.protocol_state) s.protocol_state = std::make_unique<SftpState>();
    return *static_cast<SftpState*>(s.protocol_state.get());
}

int post_sftp_connect(Session& s, CompletionCallback next, int code) {
    if (!s.control || s.cancel.load() != 0) return 1;
    sftp_state(s);  // made on the requester's thread, before any step can look for it
    return post_session_step(s, *s.control, connect_step, next, code);
}

int post_sftp_operation(Session& s, Operation operation, CompletionCallback next, int code) {
    // A stopped request starts nothing more.
    if (!s.control || s.cancel.load() != 0) return 1;
    sftp_state(s).operation = operation;
    return post_session_step(s, *s.control, operation_step, next, code);
}

}  // namespace orvane::sftp
