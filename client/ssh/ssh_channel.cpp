// The session channel: its states, one handler per message, the two windows and the pump that
// returns window and sends application output.
#include "client/ssh/ssh_channel.h"

#include <algorithm>
#include <new>
#include <string>
#include <string_view>

#include "client/ssh/ssh_messages.h"
#include "client/ssh/ssh_userauth.h"
#include "client/ssh/ssh_version.h"
#include "common/log.h"
#include "common/text.h"

namespace orvane::ssh {

namespace {

constexpr uint32_t kLocalId = 0;  // our one channel
constexpr size_t kMaxRequestType = 256;
constexpr size_t kMaxText = 1024;
constexpr size_t kMaxErrorLines = 100;  // the server's error output shown per session

struct StateName {
    ChannelState state;
    const char* name;
};
constexpr StateName kStateNames[] = {
    {ChannelState::kOpening, "opening"},
    {ChannelState::kOpen, "open"},
    {ChannelState::kClosed, "closed"},
};
static_assert(sizeof kStateNames / sizeof kStateNames[0] == 3, "one name per state");

struct Channel {
    SshSession* session = nullptr;
    ChannelState state = ChannelState::kOpening;
    ChannelTrace trace;
    uint32_t remote_id = 0;
    uint32_t remote_window = 0;  // what we may still send
    uint32_t send_limit = 0;     // data bytes per message: the server's maximum packet, at most ours
    uint32_t local_window = kChannelWindow;  // what the server may still send
    bool subsystem_awaited = false;          // the reply to our "subsystem" request
    bool eof = false;
    size_t error_lines = 0;
    uint8_t chunk[kChannelMaxPacket];
};

void set_state(Channel& c, ChannelState to) {
    ChannelState from = c.state;
    c.state = to;
    if (c.trace.function && from != to) c.trace.function(c.trace.context, from, to);
}

int fail(Channel& c, const std::string& cause, FailureKind kind = FailureKind::kProtocol) {
    set_state(c, ChannelState::kClosed);
    c.session->fail_with(kErrorChannel, cause, kind);
    return 1;
}

// The server ended or refused what we asked for, within the protocol.
int refused(Channel& c, const std::string& cause) {
    return fail(c, cause, FailureKind::kRemote);
}

int malformed(Channel& c, const char* what) {
    return fail(c, std::string("a malformed ") + what);
}

int send(Channel& c, const SshBuffer& message) {
    if (!message.ok()) return fail(c, "a channel message over the size limit");
    return c.session->send_payload(message.view());
}

// Data the server sends beyond the window it was given could only be dropped, and a dropped
// piece of a file is a corrupt file: the transfer ends instead.
int take_window(Channel& c, size_t n, const char* what) {
    if (c.eof) return fail(c, format("%s after the server's end of data", what));
    if (n > c.local_window)
        return fail(c, format("%s of %zu bytes beyond the channel window of %u bytes", what, n,
                              static_cast<unsigned>(c.local_window)));
    c.local_window -= static_cast<uint32_t>(n);
    return 0;
}

// The subsystem's error output, line by line and bounded: a chatty or hostile server must not
// fill the log.
void log_error_output(Channel& c, std::string_view text) {
    text = text.substr(0, kMaxText);
    while (!text.empty() && c.error_lines <= kMaxErrorLines) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) {
            if (c.error_lines++ == kMaxErrorLines) {
                c.session->log("SSH: further error output of the server is not shown", kLevelWarning);
                return;
            }
            c.session->log("SSH: the server reports: " + printable(line, 256), kLevelWarning);
        }
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
}

// --- channel requests from the server ---

int on_exit_status(Channel& c, SshBuffer& payload) {
    uint32_t status = payload.get_u32();
    if (!payload.ok()) return malformed(c, "exit-status request");
    if (status != 0)
        c.session->log(format("SSH: the sftp subsystem ended with status %u", static_cast<unsigned>(status)),
                       kLevelInfo);
    return 0;
}

int on_exit_signal(Channel& c, SshBuffer& payload) {
    std::string_view signal = payload.get_string(kMaxRequestType);
    payload.get_bool();  // core dumped
    std::string_view message = payload.get_string(kMaxText);
    if (!payload.ok()) return malformed(c, "exit-signal request");
    std::string text = "SSH: the sftp subsystem ended by signal " + printable(signal, 64);
    if (!message.empty()) text += ": " + printable(message, 256);
    c.session->log(text, kLevelWarning);
    return 0;
}

struct KnownRequest {
    const char* type;
    int (*read)(Channel&, SshBuffer&);
};
constexpr KnownRequest kKnownRequests[] = {
    {"exit-status", &on_exit_status},
    {"exit-signal", &on_exit_signal},
};

// --- handlers, one per message ---

int on_global_request(Channel& c, SshBuffer& payload) {
    payload.get_string();  // name; OpenSSH announces its host keys this way after login
    bool want_reply = payload.get_bool();
    if (!payload.ok()) return malformed(c, "GLOBAL_REQUEST");
    if (!want_reply) return 0;
    return c.session->send_payload(std::string(1, static_cast<char>(msg::kRequestFailure)));
}

int on_open_confirmation(Channel& c, SshBuffer& payload) {
    c.remote_id = payload.get_u32();
    uint32_t window = payload.get_u32();
    uint32_t max_packet = payload.get_u32();
    if (!payload.ok()) return malformed(c, "CHANNEL_OPEN_CONFIRMATION");
    if (max_packet == 0) return fail(c, "the server allows no channel data (maximum packet 0)");
    c.remote_window = window;
    c.send_limit = std::min(max_packet, kChannelMaxPacket);
    set_state(c, ChannelState::kOpen);
    SshBuffer request(256);
    request.put_byte(msg::kChannelRequest);
    request.put_u32(c.remote_id);
    request.put_string("subsystem");
    request.put_bool(true);
    request.put_string("sftp");
    c.subsystem_awaited = true;
    return send(c, request);
}

int on_open_failure(Channel& c, SshBuffer& payload) {
    uint32_t reason = payload.get_u32();
    std::string_view description = payload.get_string(kMaxText);
    if (!payload.ok()) return malformed(c, "CHANNEL_OPEN_FAILURE");
    return refused(
        c, format("the server refused the session channel, reason %u: ", static_cast<unsigned>(reason)) +
               printable(description, 256));
}

int on_window_adjust(Channel& c, SshBuffer& payload) {
    uint32_t bytes = payload.get_u32();
    if (!payload.ok()) return malformed(c, "CHANNEL_WINDOW_ADJUST");
    uint64_t window = uint64_t{c.remote_window} + bytes;
    if (window > UINT32_MAX) return fail(c, "the server's window grew past 2^32-1 bytes");
    c.remote_window = static_cast<uint32_t>(window);
    return 0;
}

int on_data(Channel& c, SshBuffer& payload) {
    std::string_view data = payload.get_string();
    if (!payload.ok()) return malformed(c, "CHANNEL_DATA");
    if (take_window(c, data.size(), "CHANNEL_DATA") != 0) return 1;
    if (c.session->application_input().append(data.data(), data.size()) != 0)
        return fail(c, "no room for the server's data", FailureKind::kLocal);
    return 0;
}

// Extended data is the subsystem's error output: it is logged, so its window is returnable at
// once (the pump returns what application input does not hold).
int on_extended_data(Channel& c, SshBuffer& payload) {
    payload.get_u32();  // data type; 1, standard error, is the only one defined
    std::string_view data = payload.get_string();
    if (!payload.ok()) return malformed(c, "CHANNEL_EXTENDED_DATA");
    if (take_window(c, data.size(), "CHANNEL_EXTENDED_DATA") != 0) return 1;
    log_error_output(c, data);
    return 0;
}

int on_eof(Channel& c, SshBuffer&) {
    c.eof = true;
    return 0;
}

// What arrived before stays in application input; the SFTP layer fails on the session error.
int on_close(Channel& c, SshBuffer&) {
    set_state(c, ChannelState::kClosed);
    SshBuffer close(16);
    close.put_byte(msg::kChannelClose);
    close.put_u32(c.remote_id);
    send(c, close);
    return refused(c, "the server closed the SFTP channel");
}

int on_request(Channel& c, SshBuffer& payload) {
    std::string_view type = payload.get_string(kMaxRequestType);
    bool want_reply = payload.get_bool();
    if (!payload.ok()) return malformed(c, "CHANNEL_REQUEST");
    bool accepted = false;
    for (const KnownRequest& known : kKnownRequests) {
        if (type != known.type) continue;
        if (known.read(c, payload) != 0) return 1;
        accepted = true;
        break;
    }
    if (!want_reply) return 0;
    SshBuffer reply(16);
    reply.put_byte(accepted ? msg::kChannelSuccess : msg::kChannelFailure);
    reply.put_u32(c.remote_id);
    return send(c, reply);
}

int on_success(Channel& c, SshBuffer&) {
    if (!c.subsystem_awaited) return 0;
    c.subsystem_awaited = false;
    c.session->log("SSH: the sftp subsystem started", kLevelInfo);
    return 0;
}

int on_failure(Channel& c, SshBuffer&) {
    if (c.subsystem_awaited) return refused(c, "the server refused the sftp subsystem");
    return fail(c, "CHANNEL_FAILURE for no request of ours");
}

enum When : uint8_t { kWhenOpening = 1, kWhenOpen = 2, kWhenAny = 3 };

using Handler = int (*)(Channel&, SshBuffer&);
struct Route {
    uint8_t number;
    uint8_t when;    // When
    bool addressed;  // starts with the recipient channel
    const char* name;
    Handler handler;
};
constexpr Route kRoutes[] = {
    {msg::kGlobalRequest, kWhenAny, false, "GLOBAL_REQUEST", &on_global_request},
    {msg::kChannelOpenConfirmation, kWhenOpening, true, "CHANNEL_OPEN_CONFIRMATION", &on_open_confirmation},
    {msg::kChannelOpenFailure, kWhenOpening, true, "CHANNEL_OPEN_FAILURE", &on_open_failure},
    {msg::kChannelWindowAdjust, kWhenOpen, true, "CHANNEL_WINDOW_ADJUST", &on_window_adjust},
    {msg::kChannelData, kWhenOpen, true, "CHANNEL_DATA", &on_data},
    {msg::kChannelExtendedData, kWhenOpen, true, "CHANNEL_EXTENDED_DATA", &on_extended_data},
    {msg::kChannelEof, kWhenOpen, true, "CHANNEL_EOF", &on_eof},
    {msg::kChannelClose, kWhenOpen, true, "CHANNEL_CLOSE", &on_close},
    {msg::kChannelRequest, kWhenOpen, true, "CHANNEL_REQUEST", &on_request},
    {msg::kChannelSuccess, kWhenOpen, true, "CHANNEL_SUCCESS", &on_success},
    {msg::kChannelFailure, kWhenOpen, true, "CHANNEL_FAILURE", &on_failure},
};

uint8_t when_of(ChannelState state) {
    if (state == ChannelState::kOpening) return kWhenOpening;
    if (state == ChannelState::kOpen) return kWhenOpen;
    return 0;
}

// --- the pump ---

// Window goes back in large adjustments, and only for what the application has taken out of
// application input: what still sits there is not returned, so the server can never send more
// than the queue may hold.
void return_window(Channel& c) {
    uint32_t outstanding = kChannelWindow - c.local_window;
    size_t queued = c.session->application_input().size();
    if (c.local_window >= kChannelWindow / 2 || outstanding <= queued) return;
    uint32_t returnable = outstanding - static_cast<uint32_t>(queued);
    SshBuffer adjust(16);
    adjust.put_byte(msg::kChannelWindowAdjust);
    adjust.put_u32(c.remote_id);
    adjust.put_u32(returnable);
    if (send(c, adjust) == 0) c.local_window += returnable;
}

void send_output(Channel& c) {
    SshSession& session = *c.session;
    ByteQueue& output = session.application_output();
    while (!output.empty() && c.remote_window > 0 && session.session_error() == 0 &&
           session.network_output().size() < kNetworkOutputHighWater) {
        size_t n = std::min({output.size(), size_t{c.remote_window}, size_t{c.send_limit}});
        n = output.take(c.chunk, n);
        SshBuffer message(kChannelMaxPacket + 16);
        message.put_byte(msg::kChannelData);
        message.put_u32(c.remote_id);
        message.put_string(std::string_view(reinterpret_cast<const char*>(c.chunk), n));
        if (send(c, message) != 0) return;
        c.remote_window -= static_cast<uint32_t>(n);
    }
}

// --- the service ---

class ChannelService final : public SshService {
  public:
    ChannelService(SshSession& session, ChannelTrace trace) {
        c_.session = &session;
        c_.trace = trace;
    }

    int start(SshSession& session) override {
        session.log("SSH: opening the session channel", kLevelInfo);
        SshBuffer open(64);
        open.put_byte(msg::kChannelOpen);
        open.put_string("session");
        open.put_u32(kLocalId);
        open.put_u32(kChannelWindow);
        open.put_u32(kChannelMaxPacket);
        return send(c_, open);
    }

    int message(SshSession&, SshBuffer& payload) override {
        uint8_t number = payload.get_byte();
        for (const Route& route : kRoutes) {
            if (route.number != number) continue;
            if ((route.when & when_of(c_.state)) == 0) break;
            if (route.addressed) {
                uint32_t recipient = payload.get_u32();
                if (!payload.ok()) return malformed(c_, route.name);
                if (recipient != kLocalId)
                    return fail(c_, format("%s for channel %u, not ours", route.name,
                                           static_cast<unsigned>(recipient)));
            }
            return route.handler(c_, payload);
        }
        return fail(c_, format("unexpected message %u while the channel is %s", number,
                               channel_state_name(c_.state)));
    }

    void pump(SshSession& session) override {
        if (c_.state != ChannelState::kOpen || session.session_error() != 0) return;
        return_window(c_);
        send_output(c_);
    }

  private:
    Channel c_;
};

}  // namespace

const char* channel_state_name(ChannelState s) {
    for (const StateName& n : kStateNames)
        if (n.state == s) return n.name;
    return "unknown";
}

std::unique_ptr<SshService> make_channel_service(SshSession& session, ChannelTrace trace) {
    // Out of memory: no service, and the session says so when it needs one.
    return std::unique_ptr<SshService>(new (std::nothrow) ChannelService(session, trace));
}

std::unique_ptr<SshService> make_channel_service_of_parts(SshSession& session) {
    return make_channel_service(session);
}

}  // namespace orvane::ssh
