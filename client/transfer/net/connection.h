// Connection: one socket, its step slot, its I/O state and the protocol layers' working area.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/transfer/net/byte_queue.h"
#include "client/transfer/net/filter.h"
#include "common/local_file.h"
#include "platform/event.h"
#include "platform/socket.h"

namespace orvane {

class TransferEngine;
struct EventGroup;
struct Connection;
struct Session;

// Network events a connection can register for, and that a step sees (the socket-event bits).
enum NetworkEventBits : uint32_t {
    kNetRead = 1,
    kNetWrite = 2,
    kNetAccept = 8,
    kNetConnect = 16,
    kNetClose = 32,
};
// Index of each event's error code in NetworkEvents::errors.
enum NetworkErrorIndex : int {
    kNetReadIndex = 0,
    kNetWriteIndex = 1,
    kNetAcceptIndex = 3,
    kNetConnectIndex = 4,
    kNetCloseIndex = 5,
};
struct NetworkEvents {
    uint32_t events = 0;
    int errors[10] = {};  // system error numbers; 0 = none
    bool has(uint32_t bit) const { return (events & bit) != 0; }
    // The event happened without an error.
    bool ok(uint32_t bit, int index) const { return has(bit) && errors[index] == 0; }
};

// Application flags: why the step function was woken.
enum StepFlags : uint32_t {
    kFlagPosted = 1,        // a step was just posted
    kFlagIoDone = 2,        // a receive or send finished (or could not be started)
    kFlagTimedOut = 4,      // idle for longer than the timeout
    kFlagAbort = 8,         // a transfer procedure wants a data step to end
    kFlagResolved = 16,     // a name lookup started by start_resolve() has ended
    kFlagRestartTime = 32,  // a new wait begins: the timeout counts from now whatever the rule
    kFlagCancel = 64,       // the user asked the running request to stop
};

// How a connection's timeout counts.
enum class TimeRule : uint8_t {
    // Time since anything last moved either way or the step was woken.
    kIdle,
    // Time since the step began a new exchange (a step posted, a line sent, kFlagRestartTime):
    // a reply that trickles in a byte at a time is still bounded as a whole.
    kWhole,
    // Fewer than kLowSpeedBytes moved in a window of the timeout's length: a peer that keeps a
    // transfer alive with a byte now and then still times out.
    kLowSpeed,
};
inline constexpr uint64_t kLowSpeedBytes = 1024;

// Step function: runs on the connection's group thread whenever the connection is woken.
using StepFunction = void (*)(Connection& connection);
// Completion callback: runs on the requester's thread from the pump; code names the step.
using CompletionCallback = void (*)(int code, void* owner, int result);
// Wakes the requester's thread so that it pumps completions.
struct Notifier {
    void (*function)(void* context) = nullptr;
    void* context = nullptr;
    void operator()() const {
        if (function) function(context);
    }
};
// Receive handler: bytes for the application; return 1 to stop receiving, 0 to go on.
using ReceiveHandler = int (*)(Connection& connection, const uint8_t* data, size_t n);
// Send handler: fill up to capacity bytes; return 1 when there is nothing (more) to send.
using SendHandler = int (*)(Connection& connection, uint8_t* buffer, size_t* length, size_t capacity);

// The default read and write block of a connection; set_io_block() gives one a larger one.
inline constexpr size_t kIoBufferSize = 8192;
// The default limit of a receive queue; the protocol layers set the one that fits a connection's role.
inline constexpr size_t kReceiveQueueLimit = 256u * 1024 * 1024;

// A name lookup running on a thread of its own (see start_resolve).
struct ResolveJob;
inline constexpr size_t kSendQueueLimit = 16u * 1024 * 1024;

// The per-connection working area of the protocol layers.
struct StepState {
    ByteQueue receive_queue{kReceiveQueueLimit};
    LocalFile* download_sink = nullptr;  // set: received bytes go to this file
    ByteQueue send_queue{kSendQueueLimit};
    LocalFile* upload_source = nullptr;  // read when the send queue is empty
    LocalFile file;                      // the download or upload file of this connection
    Session* session = nullptr;          // the owning session
    int state = 0;                       // the running step's state number
    void* context = nullptr;             // private to the protocol layer driving this connection
    int reserved = 1;
    LogCallback log = nullptr;
    void* log_user = nullptr;
};

struct Connection {
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    TransferEngine* engine = nullptr;
    EventGroup* group = nullptr;
    LogCallback log = nullptr;
    void* log_user = nullptr;

    // Socket. `active`: connecting, connected, listening or accepted (only then is it polled).
    platform::SocketHandle socket = platform::kInvalidSocket;
    uint32_t socket_serial = 0;  // changes with every new or closed socket
    bool socket_active = false;
    std::string address_text;  // dotted address that connect and bind use
    std::string host_text;     // host as given, possibly "user@host"
    uint32_t port = 0;
    std::shared_ptr<ResolveJob> resolve_job;  // the lookup of host_text while one runs
    std::string remote_address;               // peer of an accepted socket
    uint32_t remote_port = 0;

    // Events seen by the step (filled just before each call).
    NetworkEvents network_events;
    uint32_t flags = 0;

    // Group thread only: registered and still-armed event bits, events recorded since the last
    // step call. An event is reported once and re-armed by registering again (or by the receive
    // or accept that consumes it).
    uint32_t registered = 0;
    uint32_t armed = 0;
    NetworkEvents recorded;

    // Guarded by flag_lock: pending application flags and the flag event's state.
    std::mutex flag_lock;
    uint32_t pending_flags = 0;
    bool flag_event_set = false;
    bool wake_local = false;  // raised on the group thread itself: no event needed
    platform::Event flag_event;

    // Reads and writes, done by the group thread when the socket is ready.
    std::vector<uint8_t> receive_buffer;
    std::vector<uint8_t> send_buffer;
    std::vector<uint8_t> filter_buffer;  // plaintext between a TLS or SSH filter and the handlers
    size_t send_length = 0;
    size_t send_offset = 0;
    size_t unsent_limit = 0;  // for every socket of this connection; 0: the system's rule
    bool receive_pending = false;
    bool read_ahead = false;  // the pending receive only looks for bytes already waiting
    bool send_pending = false;
    int idle_seconds = 0;     // seconds counted by the time rule
    int timeout_seconds = 0;  // 0: never times out
    TimeRule time_rule = TimeRule::kIdle;
    uint64_t window_bytes = 0;  // bytes moved in the low-speed window so far
    EventGroup* deferred_removal = nullptr;

    // Security filter between the socket and the handlers (null in plain mode).
    int security_mode = kSecurityPlain;
    std::unique_ptr<ByteFilter> filter;
    // Network bytes the filter has not taken yet; they go in before newer ones.
    std::vector<uint8_t> filter_backlog;

    // Step slot, guarded by step_lock.
    std::mutex step_lock;
    StepFunction step = nullptr;
    CompletionCallback completion = nullptr;
    int completion_code = 0;
    Notifier notify;
    void* owner = nullptr;
    int result = 0;
    bool finished = false;  // finished, waiting in the completion list

    StepFunction default_step = nullptr;
    ReceiveHandler on_receive = nullptr;
    SendHandler on_send = nullptr;

    StepState step_state;
};

// Gives the connection read and write blocks of `size` bytes (while no I/O is outstanding).
void set_io_block(Connection& c, size_t size);
// How much written but unsent data this connection's sockets keep: the current one and every new
// one (0: new sockets keep the system's rule).
void set_unsent_limit(Connection& c, size_t bytes);

// The time rule's bookkeeping, on the group thread: n bytes moved (sent or received), a step
// woken with `flags`, and one second gone by (true when the timeout has run out).
void note_moved(Connection& c, size_t n, bool sent);
void note_woken(Connection& c, uint32_t flags);
bool note_second(Connection& c);

// Sockets (the protocol steps call these on the group thread; set-up code may call them while
// no step is posted).
platform::SocketHandle create_socket(Connection& c);  // replaces any previous one
void adopt_socket(Connection& c, platform::SocketHandle s, const std::string& peer, uint32_t peer_port);
void close_socket(Connection& c);
// Host text to address text: empty stays empty, a dotted address is kept, otherwise the part
// after the last "@" is looked up. 0 on success, 1 when the lookup fails. Blocks: never call it on
// an event thread (a slow resolver would stall every connection of the group); steps use
// start_resolve.
int resolve_host(Connection& c);
// Starts turning the host text into the address text without blocking the caller. 0: the address
// text is ready now (empty or dotted host); 2: a lookup runs on a thread of its own and wakes the
// step with kFlagResolved when it ends; 1 when it could not be started.
int start_resolve(Connection& c);
// After kFlagResolved: 0 with the address text set, 1 when the host is unknown, 2 while the
// lookup still runs. A lookup that is no longer wanted is left to end by itself.
int finish_resolve(Connection& c);
// 0 when connected or in progress; 101 refused, 102 timed out, 103 other.
int connect_socket(Connection& c);
// A step's TCP connect: a fresh socket connecting to the address text and port, registered for
// write and connect. 0 while it is in progress; 1 with an errno value in `error` when it failed
// at once.
int start_connect(Connection& c, int& error);
// What the step's wake says of a connect in progress. kFailed gives the errno value in `error`
// (0 when the step was stopped by its abort or timeout flag with the connect still pending).
enum class ConnectOutcome : int { kWaiting, kConnected, kTimedOut, kFailed };
ConnectOutcome connect_outcome(const Connection& c, int& error);
// Binds to the address text (all interfaces when empty) and the port: 0, 104, 105 or 106.
int bind_socket(Connection& c);
int listen_socket(Connection& c, int backlog);  // 0 or 1
// Accepts a waiting connection, closes the listening socket and takes the accepted one over.
// 0 on success, 1 on failure.
int accept_on(Connection& c);
int local_address(const Connection& c, std::string& address, uint32_t& port);  // 0 or 1

// Security mode switches (while no I/O is outstanding). 0 on success, 1 when the filter cannot
// be made (the engine has no provider for the mode, or it failed). A TLS filter shares the engine's TLS
// context; the configuration's log defaults to the connection's.
int set_security(Connection& c, int mode, const FilterConfig& config = {});
inline int set_security_plain(Connection& c) {
    return set_security(c, kSecurityPlain);
}
inline int set_security_tls(Connection& c) {
    return set_security(c, kSecurityTls);
}

// Network bytes that arrived before the filter was set (an implicit-TLS server's first records):
// offered to the filter now, and what it does not take goes in ahead of the next bytes received.
void give_filter_early_input(Connection& c, const uint8_t* data, size_t n);
// The message, followed by the filter's cause in parentheses when it failed with one.
std::string with_filter_cause(const Connection& c, const char* message);

// Events and I/O: group thread only (from step functions and handlers).
void register_events(Connection& c, uint32_t events);  // replaces the registration
void quiet_events(Connection& c);
void raise_flag(Connection& c, uint32_t bits);
// Starts a receive of up to one block; its completion wakes the step with flag 2.
void start_receive(Connection& c);
// Fills the send buffer from the send handler (through the filter) and starts sending. Returns
// 1 when there was nothing to send (the caller raises flag 2 itself when it wants the step woken).
int start_send(Connection& c);

// The step slot. Post: 1 when a step is already posted (nothing changes), 0 when posted.
int post_step(Connection& c, StepFunction step, CompletionCallback completion, int code, Notifier notify,
              void* owner);
// Fills the step slot with a step that has already finished with `result` and queues its
// completion, without waking the group thread: how work that needs no network completes. 1 when a
// step is already posted (nothing changes), 0 when queued.
int post_finished(Connection& c, CompletionCallback completion, int code, Notifier notify, void* owner,
                  int result);
// Ends the running step with its result and queues the completion for the requester. A second
// finish of the same step is ignored (returns 1).
int finish_step(Connection& c, int result);
// True while a posted step has not been delivered.
bool step_busy(Connection& c);

// Writes a message through the connection's log callback.
void connection_log(const Connection& c, int level, const char* text);

}  // namespace orvane
