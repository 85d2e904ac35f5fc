// Connection: sockets, security mode, event registration, flags and the step slot.
#include "client/transfer/net/connection.h"

#include <cassert>
#include <cerrno>
#include <system_error>
#include <thread>

#include "client/transfer/net/event_group.h"
#include "client/transfer/net/transfer_engine.h"
#include "common/log.h"
#include "platform/crash_report.h"

namespace orvane {

Connection::Connection() : receive_buffer(kIoBufferSize), send_buffer(kIoBufferSize) {}

struct ResolveJob {
    std::mutex lock;
    Connection* waiter = nullptr;  // cleared when the connection goes or stops waiting
    bool done = false;
    int result = 1;
    std::string address;
};

namespace {

void forget_resolve(Connection& c) {
    // Held here until the lock is released: the job may go with this last reference.
    std::shared_ptr<ResolveJob> job = std::move(c.resolve_job);
    if (!job) return;
    std::lock_guard<std::mutex> hold(job->lock);
    job->waiter = nullptr;
}

}  // namespace

Connection::~Connection() {
    forget_resolve(*this);
    platform::socket_close(socket);
    // A filter may hold keys; its own destructor wipes them.
    filter.reset();
}

void connection_log(const Connection& c, int level, const char* text) {
    output_to(c.log, c.log_user, text, level);
}

// ---- sockets ----

platform::SocketHandle create_socket(Connection& c) {
    close_socket(c);
    c.socket = platform::tcp_socket();
    platform::socket_limit_unsent(c.socket, c.unsent_limit);
    ++c.socket_serial;
    c.network_events = {};
    c.recorded = {};
    return c.socket;
}

void adopt_socket(Connection& c, platform::SocketHandle s, const std::string& peer, uint32_t peer_port) {
    close_socket(c);
    c.socket = s;
    platform::socket_limit_unsent(c.socket, c.unsent_limit);
    ++c.socket_serial;
    c.socket_active = true;
    c.remote_address = peer;
    c.remote_port = peer_port;
    c.address_text = peer;
}

void close_socket(Connection& c) {
    if (c.socket != platform::kInvalidSocket) {
        platform::socket_close(c.socket);
        c.socket = platform::kInvalidSocket;
        ++c.socket_serial;
    }
    c.socket_active = false;
    c.network_events = {};
    c.recorded = {};
    c.remote_address.clear();
    c.remote_port = 0;
}

int resolve_host(Connection& c) {
    if (c.host_text.empty()) {
        c.address_text.clear();
        return 0;
    }
    if (platform::is_ipv4_address(c.host_text)) {
        c.address_text = c.host_text;
        return 0;
    }
    size_t at = c.host_text.rfind('@');
    std::string host = at == std::string::npos ? c.host_text : c.host_text.substr(at + 1);
    return platform::resolve_ipv4(host, c.address_text) == 0 ? 0 : 1;
}

int start_resolve(Connection& c) {
    forget_resolve(c);
    if (c.host_text.empty() || platform::is_ipv4_address(c.host_text)) return resolve_host(c);
    size_t at = c.host_text.rfind('@');
    std::string host = at == std::string::npos ? c.host_text : c.host_text.substr(at + 1);
    auto job = std::make_shared<ResolveJob>();
    job->waiter = &c;
    c.resolve_job = job;
    try {
        // The lookup owns only the job: a connection that goes meanwhile clears the waiter first.
        std::thread([job, host] {
            platform::ThreadSignalStack alt_stack;
            std::string address;
            int r = platform::resolve_ipv4(host, address) == 0 ? 0 : 1;
            std::lock_guard<std::mutex> hold(job->lock);
            job->done = true;
            job->result = r;
            job->address = std::move(address);
            if (job->waiter) raise_flag(*job->waiter, kFlagResolved);
        }).detach();
    } catch (const std::system_error&) {
        c.resolve_job.reset();
        return 1;
    }
    return 2;
}

int finish_resolve(Connection& c) {
    if (!c.resolve_job) return 1;
    {
        std::lock_guard<std::mutex> hold(c.resolve_job->lock);
        if (!c.resolve_job->done) return 2;
        if (c.resolve_job->result == 0) c.address_text = c.resolve_job->address;
    }
    int r = c.resolve_job->result;
    forget_resolve(c);
    return r;
}

void set_unsent_limit(Connection& c, size_t bytes) {
    c.unsent_limit = bytes;
    platform::socket_limit_unsent(c.socket, bytes);
}

void set_io_block(Connection& c, size_t size) {
    if (c.receive_pending || c.send_pending || size == 0) return;
    c.receive_buffer.assign(size, 0);
    c.send_buffer.assign(size, 0);
    c.send_length = c.send_offset = 0;
}

void note_moved(Connection& c, size_t n, bool sent) {
    if (c.time_rule == TimeRule::kLowSpeed) {
        c.window_bytes += n;
        return;
    }
    // Under the whole-exchange rule only our own sending starts the wait again: what the peer
    // trickles in does not.
    if (c.time_rule == TimeRule::kIdle || (sent && n > 0)) c.idle_seconds = 0;
}

void note_woken(Connection& c, uint32_t flags) {
    if (c.time_rule == TimeRule::kIdle || (flags & (kFlagPosted | kFlagRestartTime))) {
        c.idle_seconds = 0;
        c.window_bytes = 0;
    }
}

bool note_second(Connection& c) {
    if (c.timeout_seconds <= 0) return false;
    if (c.time_rule != TimeRule::kLowSpeed) {
        if (++c.idle_seconds <= c.timeout_seconds) return false;
        c.idle_seconds = 0;
        return true;
    }
    if (++c.idle_seconds < c.timeout_seconds) return false;
    bool slow = c.window_bytes < kLowSpeedBytes;
    c.idle_seconds = 0;
    c.window_bytes = 0;
    return slow;
}

int connect_socket(Connection& c) {
    if (c.socket == platform::kInvalidSocket && create_socket(c) == platform::kInvalidSocket) {
        return platform::kConnectFailed;
    }
    int r = platform::socket_connect(c.socket, c.address_text, c.port);
    if (r == 0) c.socket_active = true;
    return r;
}

int start_connect(Connection& c, int& error) {
    create_socket(c);
    int r = connect_socket(c);
    if (r != 0) {
        int e = errno;
        error = r == platform::kConnectRefused    ? ECONNREFUSED
                : r == platform::kConnectTimedOut ? ETIMEDOUT
                                                  : e;
        return 1;
    }
    error = 0;
    register_events(c, kNetWrite | kNetConnect);
    return 0;
}

ConnectOutcome connect_outcome(const Connection& c, int& error) {
    error = 0;
    const NetworkEvents& ev = c.network_events;
    if (ev.ok(kNetWrite, kNetWriteIndex)) return ConnectOutcome::kConnected;
    bool connect_ok = ev.ok(kNetConnect, kNetConnectIndex);
    if (connect_ok && !(c.flags & (kFlagTimedOut | kFlagAbort))) return ConnectOutcome::kWaiting;
    if (!connect_ok && c.flags == 0 && ev.events == 0) return ConnectOutcome::kWaiting;
    if (ev.events == 0 && (c.flags & kFlagTimedOut)) return ConnectOutcome::kTimedOut;
    error = ev.errors[kNetConnectIndex] != 0 ? ev.errors[kNetConnectIndex] : ev.errors[kNetWriteIndex];
    return ConnectOutcome::kFailed;
}

int bind_socket(Connection& c) {
    if (c.socket == platform::kInvalidSocket && create_socket(c) == platform::kInvalidSocket) {
        return platform::kBindFailed;
    }
    return platform::socket_bind(c.socket, c.address_text, c.port);
}

int listen_socket(Connection& c, int backlog) {
    if (platform::socket_listen(c.socket, backlog) != 0) return 1;
    c.socket_active = true;
    return 0;
}

int accept_on(Connection& c) {
    std::string peer;
    uint32_t peer_port = 0;
    int error = 0;
    platform::SocketHandle s = platform::socket_accept(c.socket, &peer, &peer_port, &error);
    if (s == platform::kInvalidSocket) {
        c.armed |= c.registered & kNetAccept;  // a later connection may still come
        return 1;
    }
    adopt_socket(c, s, peer, peer_port);
    return 0;
}

int local_address(const Connection& c, std::string& address, uint32_t& port) {
    if (c.socket == platform::kInvalidSocket) return 1;
    return platform::socket_local_address(c.socket, address, port);
}

// ---- security mode ----

int set_security(Connection& c, int mode, const FilterConfig& config) {
    if (mode == kSecurityPlain) {
        c.filter.reset();
        c.filter_backlog.clear();
        c.security_mode = kSecurityPlain;
        return 0;
    }
    if (mode == c.security_mode && c.filter) return 0;
    const FilterProvider* p = c.engine ? c.engine->providers().for_mode(mode) : nullptr;
    if (!p || !p->create_filter) return 1;
    FilterConfig made = config;
    if (!made.log) {
        made.log = c.log;
        made.log_user = c.log_user;
    }
    if (mode == kSecurityTls && !made.tls_context) {
        made.tls_context = c.engine ? c.engine->tls_context() : nullptr;
        if (!made.tls_context) return 1;
    }
    if (mode == kSecurityTls) {
        // The certificate is checked for the name the user gave and the port that tells servers apart.
        if (made.host.empty()) {
            made.host = c.host_text.substr(c.host_text.rfind('@') + 1);  // "user@host" names host
            made.port = static_cast<uint16_t>(c.port);
        }
        if (!made.certificate.function && c.engine) made.certificate = c.engine->providers().certificates;
    }
    std::unique_ptr<ByteFilter> filter(p->create_filter(made));
    if (!filter) return 1;  // the connection keeps the mode it had
    c.filter = std::move(filter);
    c.filter_backlog.clear();
    c.security_mode = mode;
    return 0;
}

// ---- events and flags ----

void register_events(Connection& c, uint32_t events) {
    c.registered = events;
    c.armed = events;
    c.recorded = {};
}

void quiet_events(Connection& c) {
    c.registered = 0;
    c.armed = 0;
    std::lock_guard<std::mutex> hold(c.flag_lock);
    if (c.pending_flags == 0 && c.flag_event_set) {
        c.flag_event.reset();
        c.flag_event_set = false;
    }
}

void raise_flag(Connection& c, uint32_t bits) {
    bool signal = false;
    {
        std::lock_guard<std::mutex> hold(c.flag_lock);
        c.pending_flags |= bits;
        if (on_group_thread(c.group)) {
            // The group thread looks at local wake-ups before it waits again.
            c.wake_local = true;
        } else if (!c.flag_event_set) {
            c.flag_event_set = true;
            signal = true;
        }
    }
    // Signalled outside the lock: the group thread wakes at once and would otherwise block on
    // the lock it needs to take the flags (two more thread switches per wake-up). It resets an
    // event that it finds signalled in any case, so a signal that comes after it took the
    // flags costs one empty turn, never a lost or an endless wake-up.
    if (signal) c.flag_event.set();
}

void start_receive(Connection& c) {
    assert(on_group_thread(c.group));
    quiet_events(c);
    if (c.socket == platform::kInvalidSocket) {
        register_events(c, kNetRead | kNetClose);
        raise_flag(c, kFlagIoDone);
        return;
    }
    c.receive_pending = true;
    c.read_ahead = false;
}

// ---- step slot ----

namespace {

// Fills the empty step slot; false when a step is already posted. A finished step waits for its
// delivery; the group thread never runs it.
bool fill_slot(Connection& c, StepFunction step, CompletionCallback completion, int code, Notifier notify,
               void* owner, int result, bool finished) {
    std::lock_guard<std::mutex> hold(c.step_lock);
    if (c.completion) return false;
    c.step = step;
    c.completion = completion;
    c.completion_code = code;
    c.notify = notify;
    c.owner = owner;
    c.result = result;
    c.finished = finished;
    return true;
}

}  // namespace

int post_step(Connection& c, StepFunction step, CompletionCallback completion, int code, Notifier notify,
              void* owner) {
    if (!completion || !fill_slot(c, step, completion, code, notify, owner, 0, false)) return 1;
    // Raised once the slot is filled and its lock released, so the woken group thread finds both.
    raise_flag(c, kFlagPosted);
    return 0;
}

int post_finished(Connection& c, CompletionCallback completion, int code, Notifier notify, void* owner,
                  int result) {
    if (!completion || !fill_slot(c, nullptr, completion, code, notify, owner, result, true)) return 1;
    c.engine->queue_completion(&c);
    notify();
    return 0;
}

int finish_step(Connection& c, int result) {
    Notifier notify;
    {
        std::lock_guard<std::mutex> hold(c.step_lock);
        // The result is stored before the completion is queued, so a pump on another thread
        // never delivers a result that is not there yet.
        if (!c.completion || c.finished) return 1;
        c.result = result;
        c.finished = true;
        notify = c.notify;
    }
    c.engine->queue_completion(&c);
    notify();
    return 0;
}

bool step_busy(Connection& c) {
    std::lock_guard<std::mutex> hold(c.step_lock);
    return c.completion != nullptr;
}

}  // namespace orvane
