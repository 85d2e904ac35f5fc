// Session lifetime and the generic handlers of its connections.
#include "client/transfer/session/session.h"

#include "client/transfer/net/engine_owner.h"
#include "common/log.h"
#include "common/secret.h"

namespace orvane {

namespace {

void idle_step(Connection&) {}

// `time_rule` is set here, before the group thread can see the connection: its tick reads it.
Connection* open_session_connection(TransferEngine* engine, Session* s,
                                    TimeRule time_rule = TimeRule::kIdle) {
    ConnectionSetup setup;
    setup.timeout_seconds = s->timeout;
    setup.time_rule = time_rule;
    setup.on_receive = session_receive;
    setup.on_send = session_send;
    setup.default_step = idle_step;
    setup.session = s;
    setup.log = s->log;  // null: the engine's
    setup.log_user = s->log_user;
    return engine->open_connection(setup);
}

}  // namespace

// Received bytes go to the download file when one is set, otherwise to the receive queue.
int session_receive(Connection& c, const uint8_t* data, size_t n) {
    if (n == 0) return 0;
    StepState& st = c.step_state;
    if (st.download_sink) {
        if (st.download_sink->write(data, n) != static_cast<int64_t>(n)) return 1;
        if (st.session) st.session->progress_bytes.fetch_add(n, std::memory_order_relaxed);
        return 0;
    }
    // A queue at its limit refuses the bytes; the step sees the overflow and fails.
    return st.receive_queue.append(data, n) == 0 ? 0 : 1;
}

// Bytes to send come from the send queue, then from the upload file.
int session_send(Connection& c, uint8_t* buffer, size_t* length, size_t capacity) {
    StepState& st = c.step_state;
    *length = 0;
    if (!st.send_queue.empty()) {
        *length = st.send_queue.take(buffer, capacity);
    } else if (st.upload_source) {
        int64_t r = st.upload_source->read(buffer, capacity);
        if (r > 0) *length = static_cast<size_t>(r);
        if (r > 0 && st.session) st.session->progress_bytes.fetch_add(*length, std::memory_order_relaxed);
    }
    return *length == 0 ? 1 : 0;
}

std::unique_ptr<Session> create_session(EngineOwner& engines, const RequestTable& requests, void* log_user,
                                        LogCallback log, Notifier notify, int protocol, int timeout_seconds) {
    if (!is_protocol_kind(protocol)) return nullptr;
    std::unique_ptr<Session> s(new Session);
    s->log = log;
    s->log_user = log_user;
    s->notify = notify;
    s->protocol = protocol;
    s->timeout = timeout_seconds;
    s->requester = std::this_thread::get_id();
    s->requests = requests;
    s->engine = engines.acquire(log, log_user);
    if (!s->engine) return nullptr;
    s->engine_owner = &engines;
    // From here on the destructor undoes whatever was done.
    s->control = open_session_connection(s->engine, s.get());
    if (!s->control) return nullptr;
    if (protocol != kProtocolSftp) {
        // A listing or file that moves a byte now and then is as stuck as one that moves none.
        s->data = open_session_connection(s->engine, s.get(), TimeRule::kLowSpeed);
        if (!s->data) return nullptr;
    }
    return s;
}

Session::~Session() {
    if (engine) {
        // Closing waits for outstanding I/O of a running step to complete.
        if (control) engine->close_connection(control);
        if (data) engine->close_connection(data);
        control = data = nullptr;
        engine_owner->release();
        engine = nullptr;
    }
    wipe_secret(password);
    wipe_secret(pass_phrase);
    wipe_secret(proxy_password);
    active = 0;
}

void pump_session_completions(EngineOwner& engines) {
    engines.pump();
}

void session_log(const Session& s, int level, const char* text) {
    if (s.log_enabled == 1) output_to(s.log, s.log_user, text, level);
}

const char* request_name(RequestKind kind) {
    static constexpr const char* kNames[] = {
        "none",        "connect", "modification time", "finish with result",
        "disconnect",  "listing", "transfer list",     "delete list",
        "make folder", "rename",  "print folder",      "change folder",
        "download",    "upload",  "custom command",
    };
    static_assert(sizeof kNames / sizeof kNames[0] == kRequestKindCount, "one name per request");
    int i = static_cast<int>(kind);
    return i >= 0 && i < kRequestKindCount ? kNames[i] : "unknown";
}

}  // namespace orvane
