// The data-connection steps: passive connect or active listen and accept, then receiving or sending
// until the transfer is complete.
#include <algorithm>
#include <cerrno>
#include <string>

#include "client/transfer/ftp/ftp_join.h"
#include "client/transfer/ftp/ftp_steps.h"
#include "client/transfer/session/request_dispatch.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/socket.h"
#include "platform/system.h"

namespace orvane {

namespace {

constexpr const char* kMsgDataTlsFailure = "ERROR: TLS failure on the data connection";

// A protected upload keeps little written but unsent in its socket and writes again as the server
// takes bytes. With a large backlog queued, the kernel sends it when the server's acknowledgements
// arrive, charged to the server's side of a shared machine; vsftpd, whose TLS records cross between
// its two processes, took uploads about 5% faster so. Bytes in flight are not limited, so neither
// is speed over a long path; plain uploads measured no gain and keep the system's rule.
constexpr size_t kTlsUploadUnsentLimit = 64 * 1024;

enum class DataState : int {
    kIdle = 0,
    kConnecting = 1,  // passive: waiting for the TCP connect
    kAccepting = 2,   // active: waiting for the server to connect
    kReceiving = 3,
    kSending = 4,
    kClosing = 5,  // protected upload sent: waiting for the server to close its side
    kCount,
};
constexpr const char* kDataStateNames[] = {"idle",      "connecting", "accepting",
                                           "receiving", "sending",    "closing"};
static_assert(sizeof kDataStateNames / sizeof kDataStateNames[0] == static_cast<size_t>(DataState::kCount),
              "one name per data state");

DataState state_of(const Connection& c) {
    int v = c.step_state.state;
    return v >= 0 && v < static_cast<int>(DataState::kCount) ? static_cast<DataState>(v) : DataState::kIdle;
}
void set_state(Connection& c, DataState state) {
    DataState old = state_of(c);
    c.step_state.state = static_cast<int>(state);
    Session* s = c.step_state.session;
    if (old != state && s && s->trace)
        session_log(*s, kLevelInfo,
                    (std::string("FTP data state: ") + kDataStateNames[static_cast<int>(old)] + " -> " +
                     kDataStateNames[static_cast<int>(state)])
                        .c_str());
}

FtpDataChannel& channel(Connection& c) {
    return running_ftp_state(step_session(c)).data;
}

void end(Connection& c, int result) {
    Session& s = step_session(c);
    close_socket(c);
    set_state(c, DataState::kIdle);
    running_ftp_state(s).data_running = false;
    // The control connection's wait for the final reply starts from here.
    ftp_control_data_ended(s);
    finish_step(c, result);
}

// The data step failed on its own: the message, and its kind for the procedure to record after the
// join (the session's failure belongs to the requester's thread, not this one).
void fail(Connection& c, FailureKind kind, const std::string& message) {
    Session& s = step_session(c);
    session_log(s, kLevelError, message.c_str());
    channel(c).failure.set_from_message(kind, message);
    end(c, 1);
}

void fail_to_connect(Connection& c) {
    const FtpSessionState& fs = running_ftp_state(step_session(c)).session;
    fail(c, FailureKind::kLocal,
         "ERROR: Could not open the data connection to " + fs.passive_address + ":" +
             std::to_string(fs.passive_port));
}

std::string listing_full_message(const FtpDataChannel& fd) {
    return "ERROR: " + fd.listing->listing().full_cause();
}

// A TLS failure, with the library's cause when it gave one.
void end_tls_failure(Connection& c, const char* message) {
    fail(c, FailureKind::kRemote, with_filter_cause(c, message));
}

// Hands bytes to the session's handler (the file, or the receive queue); notes why it refused them.
int to_inner(Connection& c, FtpDataChannel& fd, const uint8_t* data, size_t n) {
    if (n == 0) return 0;
    if (fd.inner && fd.inner(c, data, n) == 0) return 0;
    int error = errno;
    fd.sink_failed = true;
    LocalFile* file = c.step_state.download_sink;
    if (fd.inner && file) {
        fd.sink_error =
            "ERROR: Could not write to local file " + file->path() + ": " + platform::error_text(error);
    } else {
        fd.sink_error = "ERROR: Too much data on the data connection";
    }
    return 1;
}

// Counts what arrives and passes it on: into the listing parser, or (ASCII line ends converted)
// to the session's handler.
int counting_receive(Connection& c, const uint8_t* data, size_t n) {
    FtpDataChannel& fd = channel(c);
    if (fd.listing) {
        if (fd.listing->feed(data, n) != 0) {
            fd.sink_failed = true;
            fd.sink_error = listing_full_message(fd);
            return 1;
        }
    } else if (fd.ascii) {
        if (fd.converted.size() < n + 1) fd.converted.resize(n + 1);
        size_t w = fd.decoder.convert(data, n, fd.converted.data());
        if (to_inner(c, fd, fd.converted.data(), w) != 0) return 1;
    } else if (to_inner(c, fd, data, n) != 0) {
        return 1;
    }
    fd.bytes += n;
    return 0;
}

// ASCII uploads: the file's lone LF become CR LF on the wire.
int ascii_send(Connection& c, uint8_t* buffer, size_t* length, size_t capacity) {
    FtpDataChannel& fd = channel(c);
    *length = 0;
    size_t half = capacity / 2;
    if (!fd.inner_send || half == 0) return 1;
    if (fd.converted.size() < half) fd.converted.resize(half);
    size_t n = 0;
    if (fd.inner_send(c, fd.converted.data(), &n, half) != 0 || n == 0) return 1;
    *length = fd.encoder.convert(fd.converted.data(), std::min(n, half), buffer);
    return 0;
}

// The end of a received stream: the listing's last line, a CR held back by the ASCII conversion.
// False when the step has ended.
bool finish_sinks(Connection& c) {
    FtpDataChannel& fd = channel(c);
    if (fd.listing && fd.listing->finish() != 0) {
        fail(c, FailureKind::kLocal, listing_full_message(fd));
        return false;
    }
    uint8_t held = 0;
    if (!fd.listing && fd.ascii && fd.decoder.finish(&held) == 1 && to_inner(c, fd, &held, 1) != 0) {
        fail(c, FailureKind::kLocal, fd.sink_error);
        return false;
    }
    return true;
}

// A download's local file is opened (and so truncated) only once the server has taken the
// transfer command: a refused download leaves an existing file as it was. False when the step
// has ended.
bool open_sink(Connection& c) {
    FtpDataChannel& fd = channel(c);
    fd.sink_ready = true;
    LocalFile* file = c.step_state.download_sink;
    if (fd.sink_mode == 0 || !file || file->is_open()) return true;
    if (file->open(fd.sink_mode) == 0) return true;
    int error = errno;
    fail(c, FailureKind::kLocal, local_file_error(file->path(), error));
    return false;
}

bool tls_on(const Connection& c);

// Every data step starts here: counters, the receive hook, and the channel's protection.
int begin_data(Connection& c, bool sending) {
    Session& s = step_session(c);
    FtpDataChannel& fd = running_ftp_state(s).data;
    fd.bytes = 0;
    fd.sink_failed = false;
    fd.sending = sending;
    fd.go_ahead =
        (c.flags & kFlagTransferGoAhead) != 0 || (sending && fd.command_ahead && s.protocol == kProtocolFtp);
    fd.held_source = nullptr;
    fd.connected = false;
    fd.handshake_started = false;
    fd.shutdown_queued = false;
    fd.sink_error.clear();
    fd.sink_ready = false;
    fd.failure.clear();
    fd.decoder = AsciiDecoder();
    fd.encoder = AsciiEncoder();
    running_ftp_state(s).data_running = true;
    if (fd.ascii && sending && c.on_send != ascii_send) {
        fd.inner_send = c.on_send;
        c.on_send = ascii_send;
    } else if (!(fd.ascii && sending) && c.on_send == ascii_send) {
        c.on_send = fd.inner_send;
    }
    if (sending) {
        fd.held_source = c.step_state.upload_source;
        c.step_state.upload_source = nullptr;
    }
    if (c.on_receive != counting_receive) {
        fd.inner = c.on_receive;
        c.on_receive = counting_receive;
    }
    fd.closed = false;
    set_security_plain(c);
    if (s.protocol != kProtocolFtp && running_ftp_state(s).session.clear_data == 0) {
        const ByteFilter* control_tls = ftp_control_tls(s);
        // Whoever answers on the data port must be the server the control connection checked.
        FilterConfig config;
        if (control_tls) config.required_key = control_tls->peer_key();
        if (config.required_key.empty()) {
            fail(c, FailureKind::kLocal,
                 "ERROR: The data connection has no checked control connection to match");
            return 1;
        }
        config.host = s.host;
        config.port = static_cast<uint16_t>(s.port);
        if (set_security(c, kSecurityTls, config) != 0 || !c.filter) {
            fail(c, FailureKind::kLocal, "ERROR: TLS is not available for the data connection");
            return 1;
        }
        // Servers such as vsftpd (require_ssl_reuse) refuse a data connection that does not
        // resume the control connection's session. Without one to resume, the full handshake
        // is still worth trying.
        c.filter->resume_from(*control_tls);
    }
    set_unsent_limit(c, sending && tls_on(c) ? kTlsUploadUnsentLimit : 0);
    return 0;
}

bool tls_on(const Connection& c) {
    return c.security_mode == kSecurityTls && c.filter;
}
bool tls_broken(const Connection& c) {
    return tls_on(c) && c.filter->error();
}
// TLS that has not finished its handshake yet (or not begun it: it waits for the go-ahead).
bool handshake_pending(const Connection& c) {
    return tls_on(c) && !c.filter->established();
}

// A lost last send: the socket refused the bytes of the buffer it was given.
bool send_failed(const Connection& c) {
    return c.send_length > 0 && c.send_offset < c.send_length;
}

bool upload_done(Connection& c) {
    const StepState& st = c.step_state;
    if (channel(c).held_source) return false;
    if (!st.send_queue.empty() || c.send_pending) return false;
    if (st.upload_source && st.upload_source->bytes_remaining() > 0) return false;
    if (tls_on(c) && (handshake_pending(c) || c.filter->output_pending())) return false;
    return true;
}

// The TLS handshake starts once the connection is up and the server has taken the transfer
// command: earlier, some servers reset the connection. False when the step has ended.
bool start_handshake_when_ready(Connection& c) {
    FtpDataChannel& fd = channel(c);
    if (!tls_on(c) || !fd.connected || !fd.go_ahead || fd.handshake_started) return true;
    fd.handshake_started = true;
    if (c.filter->start() != 0) {
        end_tls_failure(c, "ERROR: The TLS handshake failed on the data connection");
        return false;
    }
    if (!c.send_pending) start_send(c);  // the handshake's first records
    return true;
}

// After the last byte of an upload: close_notify, so the server knows the file is complete.
// True while it is being sent.
bool send_close_notify(Connection& c) {
    FtpDataChannel& fd = channel(c);
    if (!tls_on(c) || fd.shutdown_queued) return false;
    fd.shutdown_queued = true;
    if (c.filter->close_stream() != 0) return false;
    return start_send(c) == 0;
}

// The file opens once the server has taken the command and the data connection is up (a server
// that says yes and never connects leaves the file alone), and before the TLS handshake, since
// bytes may follow that at once. False when the step has ended.
bool open_sink_when_ready(Connection& c) {
    FtpDataChannel& fd = channel(c);
    if (!fd.go_ahead || !fd.connected || fd.sink_ready || state_of(c) == DataState::kIdle) return true;
    if (!open_sink(c)) return false;
    // Read and close events left aside while waiting are looked at again.
    if (state_of(c) == DataState::kReceiving && !c.receive_pending && !c.send_pending)
        register_events(c, kNetRead | kNetClose);
    return true;
}

// The data connection is up (connected or accepted): receive or send, behind TLS when protected.
void on_connected(Connection& c) {
    FtpDataChannel& fd = channel(c);
    fd.connected = true;
    c.send_length = c.send_offset = 0;
    if (!fd.sending) {
        register_events(c, kNetRead | kNetClose);
        set_state(c, DataState::kReceiving);
        if (open_sink_when_ready(c)) start_handshake_when_ready(c);
        return;
    }
    // Sending: only the close matters, unless TLS needs the server's handshake records. The file
    // waits for the server's answer to STOR, unless the command went ahead of the connection.
    register_events(c, tls_on(c) ? (kNetRead | kNetClose) : kNetClose);
    set_state(c, DataState::kSending);
    if (!start_handshake_when_ready(c)) return;
    raise_flag(c, kFlagIoDone);  // on_sending decides what comes next
}

// Hands the file to the send handler once the server has answered STOR. True when a send started.
bool release_file(Connection& c) {
    FtpDataChannel& fd = channel(c);
    if (!fd.go_ahead || !fd.held_source || handshake_pending(c)) return false;
    c.step_state.upload_source = fd.held_source;
    fd.held_source = nullptr;
    return start_send(c) == 0;
}

bool stopped(const Connection& c) {
    return (c.flags & (kFlagAbort | kFlagTimedOut)) != 0;
}

// ---- per-state wake-ups ----

void on_idle(Connection&) {}

void on_connecting(Connection& c) {
    if (c.network_events.ok(kNetWrite, kNetWriteIndex)) {
        on_connected(c);
        return;
    }
    if (c.network_events.events == 0 || c.network_events.ok(kNetConnect, kNetConnectIndex)) return;
    fail_to_connect(c);
}

void on_accepting(Connection& c) {
    if (c.network_events.has(kNetAccept)) {
        if (c.network_events.errors[kNetAcceptIndex] != 0 || accept_on(c) != 0) {
            fail(c, FailureKind::kLocal, "ERROR: Could not accept the data connection");
            return;
        }
        on_connected(c);
    }
}

// The end of a received stream: clean only when TLS, if any, came through whole. A reset behind
// the server's close_notify loses nothing (servers that close at once reset the connection when
// the answering close_notify reaches them).
void end_received(Connection& c, int error) {
    if (error != 0 && tls_on(c) && !tls_broken(c) && c.filter->peer_closed()) error = 0;
    if (error != 0) {
        fail(c, FailureKind::kRemote, "ERROR: The data connection was reset");
    } else if (tls_broken(c) || handshake_pending(c)) {
        end_tls_failure(c, kMsgDataTlsFailure);
    } else if (finish_sinks(c)) {
        end(c, 0);
    }
}

void on_receiving(Connection& c) {
    FtpDataChannel& fd = channel(c);
    // What arrives stays in the socket until the server has taken the transfer command; its read
    // and close events are looked at again then.
    if (!fd.go_ahead) return;
    if (fd.sink_failed) {
        fail(c, FailureKind::kLocal, fd.sink_error);
        return;
    }
    if (tls_broken(c)) {
        end_tls_failure(c, kMsgDataTlsFailure);
        return;
    }
    if (c.receive_pending || c.send_pending) return;
    const NetworkEvents& ev = c.network_events;
    if (ev.has(kNetRead)) {
        // The last bytes may come together with the close: read them all first.
        if (ev.has(kNetClose)) fd.closed = true;
        start_receive(c);
        return;
    }
    if (ev.has(kNetClose)) {
        // A read event spent while the server had not yet taken the command leaves its bytes in
        // the socket: they are read before the close counts.
        if (ev.errors[kNetCloseIndex] == 0 && platform::socket_bytes_waiting(c.socket) > 0) {
            fd.closed = true;
            start_receive(c);
            return;
        }
        end_received(c, ev.errors[kNetCloseIndex]);
        return;
    }
    if ((c.flags & kFlagIoDone) && fd.closed) {
        fd.closed = false;
        end_received(c, 0);
    }
}

// A protected upload ends with a half-close, and the socket stays open until the server closes
// its side or confirms the transfer. Closing at once would answer the records a server may still
// send (TLS 1.3 session tickets, its close_notify) with a reset, and a reset makes the server drop
// the end of the file that it has not read yet.
void begin_closing(Connection& c) {
    platform::socket_shutdown_send(c.socket);
    register_events(c, kNetRead | kNetClose);
    set_state(c, DataState::kClosing);
}

void on_closing(Connection& c) {
    if (c.flags & kFlagTransferConfirmed) {
        end(c, 0);
        return;
    }
    if (c.receive_pending) return;
    const NetworkEvents& ev = c.network_events;
    if (ev.has(kNetClose)) {
        end(c, 0);
    } else if (ev.has(kNetRead)) {
        start_receive(c);  // records for the TLS channel; no file data comes this way
    } else if (c.flags & kFlagIoDone) {
        register_events(c, kNetRead | kNetClose);
    }
}

void on_sending(Connection& c) {
    if (c.send_pending || c.receive_pending) return;
    if (send_failed(c)) {
        fail(c, FailureKind::kRemote, "ERROR: Could not send on the data connection");
        return;
    }
    if (tls_broken(c)) {
        end_tls_failure(c, kMsgDataTlsFailure);
        return;
    }
    const NetworkEvents& ev = c.network_events;
    if (handshake_pending(c)) {
        // Only the server's handshake records matter until TLS is up.
        if (ev.has(kNetClose)) {
            end_tls_failure(c, kMsgDataTlsFailure);
        } else if (ev.has(kNetRead)) {
            start_receive(c);
        }
        return;
    }
    if (release_file(c)) return;
    if (upload_done(c)) {
        if (send_close_notify(c)) return;
        if (tls_on(c)) {
            begin_closing(c);
            return;
        }
        end(c, 0);
        return;
    }
    if (ev.has(kNetClose)) {
        fail(c, FailureKind::kRemote,
             "ERROR: The server closed the data connection before the file was sent");
        return;
    }
    if (ev.has(kNetRead)) {
        start_receive(c);  // TLS records from the server
        return;
    }
    if ((c.flags & kFlagIoDone) && !channel(c).held_source && start_send(c) != 0 && !upload_done(c)) {
        fail(c, FailureKind::kRemote, "ERROR: Could not send on the data connection");
    }
}

using StateHandler = void (*)(Connection& c);
constexpr StateHandler kStateHandlers[] = {on_idle,      on_connecting, on_accepting,
                                           on_receiving, on_sending,    on_closing};
static_assert(sizeof kStateHandlers / sizeof kStateHandlers[0] == static_cast<size_t>(DataState::kCount),
              "one handler per data state");

void dispatch_wake(Connection& c) {
    // The go-ahead may come in any state (even before the connection is up): remember it.
    if (c.flags & kFlagTransferGoAhead) channel(c).go_ahead = true;
    // An abort or a timeout ends the step whatever else came with it. A timeout also ends the
    // control step's wait for the transfer's reply: the connection cannot be trusted after it.
    if (state_of(c) != DataState::kIdle && stopped(c)) {
        Session& s = step_session(c);
        if (c.flags & kFlagTimedOut) {
            report_timeout(s);
            channel(c).failure.set(FailureKind::kTimeout, "The server did not answer in time");
            ftp_control_abort(s);
        }
        end(c, 1);
        return;
    }
    if (!open_sink_when_ready(c)) return;
    if (!start_handshake_when_ready(c)) return;
    kStateHandlers[static_cast<int>(state_of(c))](c);
}

void begin_passive(Connection& c, bool sending) {
    if (begin_data(c, sending) != 0) return;
    Session& s = step_session(c);
    const FtpSessionState& fs = running_ftp_state(s).session;
    c.host_text = fs.passive_address;
    c.address_text = fs.passive_address;
    c.port = fs.passive_port;
    create_socket(c);
    if (connect_socket(c) != 0) {
        fail_to_connect(c);
        return;
    }
    register_events(c, kNetWrite | kNetConnect);
    set_state(c, DataState::kConnecting);
}

void begin_accept(Connection& c, bool sending) {
    if (begin_data(c, sending) != 0) return;
    if (c.socket == platform::kInvalidSocket) {
        fail(c, FailureKind::kLocal, "ERROR: No listening socket for the data connection");
        return;
    }
    register_events(c, kNetAccept);
    set_state(c, DataState::kAccepting);
}

// The abort may be raised before the step has even started (its control step failed at once).
void start_step(Connection& c, void (*begin)(Connection&, bool), bool sending) {
    begin(c, sending);
    if ((c.flags & kFlagAbort) && state_of(c) != DataState::kIdle) end(c, 1);
}

}  // namespace

std::string local_file_error(const std::string& path, int error) {
    return "Could not open local file " + path + ": " + platform::error_text(error);
}

const char* data_state_name(int state) {
    return state >= 0 && state < static_cast<int>(DataState::kCount) ? kDataStateNames[state] : "unknown";
}

void passive_receive_step(Connection& c) {
    if (c.flags & kFlagPosted) {
        start_step(c, begin_passive, false);
        return;
    }
    dispatch_wake(c);
}

void passive_send_step(Connection& c) {
    if (c.flags & kFlagPosted) {
        start_step(c, begin_passive, true);
        return;
    }
    dispatch_wake(c);
}

void active_receive_step(Connection& c) {
    if (c.flags & kFlagPosted) {
        start_step(c, begin_accept, false);
        return;
    }
    dispatch_wake(c);
}

void active_send_step(Connection& c) {
    if (c.flags & kFlagPosted) {
        start_step(c, begin_accept, true);
        return;
    }
    dispatch_wake(c);
}

void active_listen_step(Connection& c) {
    if (!(c.flags & kFlagPosted)) return;
    Session& s = step_session(c);
    set_state(c, DataState::kIdle);
    FtpDataChannel& fd = running_ftp_state(s).data;
    fd.failure.clear();
    if (listen_for_data(s, c) != 0) {
        session_log(s, kLevelError, "ERROR: Could not listen for the data connection");
        fd.failure.set(FailureKind::kLocal, "Could not listen for the data connection");
        finish_step(c, 1);
        return;
    }
    register_events(c, kNetAccept);
    finish_step(c, 0);
}

void data_close_step(Connection& c) {
    if (!(c.flags & kFlagPosted)) return;
    close_socket(c);
    set_state(c, DataState::kIdle);
    finish_step(c, 0);
}

}  // namespace orvane
