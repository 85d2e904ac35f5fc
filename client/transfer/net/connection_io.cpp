// Reads and writes done by the group thread, their completion routines, and the security filter.
#include <algorithm>
#include <cassert>

#include "client/transfer/net/connection.h"
#include "client/transfer/net/event_group.h"

namespace orvane {

namespace {

// Reads, and sends, in a row for one connection before the others of its group get their turn.
constexpr int kReadBurst = 32;
// Send-handler rounds of one fill through a filter (each up to two blocks).
constexpr int kFilterFillRounds = 64;
// Network bytes a filter may leave untaken before the connection gives up on it.
constexpr size_t kFilterBacklogLimit = 1 << 20;

void wake_step(Connection& c) {
    register_events(c, kNetRead | kNetClose);
    raise_flag(c, kFlagIoDone);
}

uint8_t* filter_buffer(Connection& c, size_t size) {
    if (c.filter_buffer.size() < size) c.filter_buffer.resize(size);
    return c.filter_buffer.data();
}

size_t block_of(const Connection& c) {
    return c.receive_buffer.size();
}

// Application data the filter already holds, to the receive handler. Returns 1 when the
// handler stopped.
int deliver_held(Connection& c) {
    if (!c.on_receive || !c.filter) return 0;
    size_t block = block_of(c);
    uint8_t* buffer = filter_buffer(c, block);
    for (;;) {
        size_t n = c.filter->get_application(buffer, block);
        if (n == 0) return 0;
        if (c.on_receive(c, buffer, n) == 1) return 1;
    }
}

// A backlog past its limit fails the filter (the peer outruns it); a failed filter keeps none.
void bound_backlog(Connection& c) {
    if (!c.filter) {
        c.filter_backlog.clear();
        return;
    }
    if (c.filter_backlog.size() > kFilterBacklogLimit)
        c.filter->fail("the peer sends faster than the connection reads");
    if (c.filter->error()) c.filter_backlog.clear();
}

// Offers network bytes to the filter, handing its application bytes to the handler after each
// offer so that a full filter drains. `taken` says how many it took. Returns 1 when the handler
// stopped.
int offer_to_filter(Connection& c, const uint8_t* data, size_t n, size_t& taken) {
    ByteFilter& f = *c.filter;
    taken = 0;
    int stop = 0;
    do {
        size_t t = f.put_network(data + taken, n - taken);
        taken += t;
        stop = deliver_held(c);
        if (t == 0) break;
    } while (taken < n && !f.error() && stop != 1);
    return stop;
}

// New network bytes through the filter; bytes it left untaken earlier go first, and what it
// does not take now waits in the backlog. Returns 1 when the handler stopped.
int feed_filter(Connection& c, const uint8_t* data, size_t n) {
    std::vector<uint8_t>& backlog = c.filter_backlog;
    bool behind = !backlog.empty();
    if (behind) {
        backlog.insert(backlog.end(), data, data + n);
        data = backlog.data();
        n = backlog.size();
    }
    size_t taken = 0;
    int stop = offer_to_filter(c, data, n, taken);
    if (behind) {
        backlog.erase(backlog.begin(), backlog.begin() + static_cast<ptrdiff_t>(taken));
    } else {
        backlog.insert(backlog.end(), data + taken, data + n);
    }
    bound_backlog(c);
    return stop;
}

// Received bytes through the connection's filter to the handler. Returns 1 when it stopped.
int deliver_received(Connection& c, const uint8_t* data, size_t n) {
    if (!c.filter) return c.on_receive ? c.on_receive(c, data, n) : 0;
    int stop = feed_filter(c, data, n);
    // The filter may answer by itself (handshake records, alerts, window updates).
    if (!c.send_pending && c.filter && c.filter->network_output_waiting()) start_send(c);
    return stop;
}

// The send buffer's next contents through the filter; the number of bytes to send.
size_t fill_send_buffer(Connection& c) {
    uint8_t* out = c.send_buffer.data();
    size_t block = c.send_buffer.size();
    if (!c.filter) {
        size_t length = 0;
        if (!c.on_send || c.on_send(c, out, &length, block) != 0) return 0;
        return std::min(length, block);
    }
    ByteFilter& f = *c.filter;
    // Two blocks at a time: for TLS that makes one full-size record, which costs the peer as much
    // to open as one of half the size.
    uint8_t* plain = filter_buffer(c, 2 * block);
    for (int round = 0; round < kFilterFillRounds && c.on_send; ++round) {
        size_t room = std::min(f.application_room(), 2 * block);
        if (room == 0) break;
        size_t n = 0, more = 0;
        if (c.on_send(c, plain, &n, std::min(room, block)) != 0 || n == 0) break;
        n = std::min({n, room, block});
        if (room > n && c.on_send(c, plain + n, &more, std::min(room - n, block)) == 0)
            n += std::min(more, room - n);
        f.put_application(plain, n);
    }
    return f.get_network(out, block);
}

// The receive completion routine for n bytes with error e (n 0 and e 0: the peer closed).
void receive_completed(Connection& c, size_t n, int e) {
    c.receive_pending = false;
    c.read_ahead = false;
    note_moved(c, n, false);
    int stop = deliver_received(c, c.receive_buffer.data(), n);
    if (e == 0 && n != 0 && stop != 1 && c.socket != platform::kInvalidSocket) {
        // Read ahead: the next read looks only for bytes already waiting, so a burst reaches the
        // step in few calls without this thread ever sleeping on one connection.
        c.receive_pending = true;
        c.read_ahead = true;
        return;
    }
    if (!c.send_pending) wake_step(c);
}

void do_receive(Connection& c) {
    for (int burst = 0; burst < kReadBurst && c.receive_pending && c.socket != platform::kInvalidSocket;
         ++burst) {
        int error = 0;
        int64_t r =
            platform::socket_receive(c.socket, c.receive_buffer.data(), c.receive_buffer.size(), &error);
        if (r == platform::kSocketWouldBlock) {
            if (c.read_ahead) {
                // Nothing more waiting: the step gets what has arrived.
                c.receive_pending = false;
                c.read_ahead = false;
                if (!c.send_pending) wake_step(c);
            }
            return;
        }
        if (r == platform::kSocketError) {
            receive_completed(c, 0, error);
        } else {
            receive_completed(c, static_cast<size_t>(r), 0);
        }
    }
}

// The send completion routine for n bytes with error e.
void send_completed(Connection& c, size_t n, int e) {
    c.send_pending = false;
    note_moved(c, n, true);
    bool finished = true;
    if (e == 0 && n != 0 && c.socket != platform::kInvalidSocket) finished = start_send(c) != 0;
    if (c.receive_pending) return;  // its completion wakes the step
    if (c.filter) deliver_held(c);
    if (c.socket != platform::kInvalidSocket && platform::socket_bytes_waiting(c.socket) > 0) {
        c.receive_pending = true;
        c.read_ahead = true;
        return;
    }
    if (finished) wake_step(c);
}

void do_send(Connection& c) {
    // Like reads, sends go on while the socket takes bytes, for a bounded number of buffers.
    int buffers = 0;
    while (c.send_pending && c.socket != platform::kInvalidSocket) {
        int error = 0;
        int64_t r = platform::socket_send(c.socket, c.send_buffer.data() + c.send_offset,
                                          c.send_length - c.send_offset, &error);
        if (r == platform::kSocketWouldBlock) return;
        if (r == platform::kSocketError || r == 0) {
            send_completed(c, 0, r == 0 ? EPIPE : error);
            return;
        }
        c.send_offset += static_cast<size_t>(r);
        if (c.send_offset >= c.send_length) {
            send_completed(c, c.send_length, 0);
            if (++buffers >= kReadBurst) return;
        }
    }
}

// Turns poll readiness into the registered network events, each reported once.
void record_events(Connection& c, uint32_t ready) {
    uint32_t got = 0;
    NetworkEvents& r = c.recorded;
    bool closed = (ready & (platform::kPollPeerClosed | platform::kPollHangup | platform::kPollError)) != 0;
    if ((c.armed & kNetAccept) && (ready & platform::kPollReadable)) got |= kNetAccept;
    if ((c.armed & (kNetRead | kNetClose)) && (ready & (platform::kPollReadable)) && !closed) {
        if (c.armed & kNetRead) got |= kNetRead;
    } else if ((c.armed & (kNetRead | kNetClose)) && closed) {
        int error = (ready & platform::kPollError) ? platform::socket_take_error(c.socket) : 0;
        bool data_left = platform::socket_bytes_waiting(c.socket) > 0;
        if ((c.armed & kNetRead) && (data_left || !(c.armed & kNetClose))) got |= kNetRead;
        if (c.armed & kNetClose) {
            got |= kNetClose;
            r.errors[kNetCloseIndex] = error;
        }
        // Nothing more will come on this socket: stop watching it for reads and its close.
        c.armed &= ~(kNetRead | kNetClose);
    }
    if ((c.armed & (kNetWrite | kNetConnect)) &&
        (ready & (platform::kPollWritable | platform::kPollError | platform::kPollHangup))) {
        int error = platform::socket_take_error(c.socket);
        if (error == 0 && !(ready & platform::kPollWritable)) error = ECONNRESET;
        if (c.armed & kNetConnect) {
            got |= kNetConnect;
            r.errors[kNetConnectIndex] = error;
        }
        if ((c.armed & kNetWrite) && (error == 0 || !(c.armed & kNetConnect))) {
            got |= kNetWrite;
            r.errors[kNetWriteIndex] = error;
        }
    }
    c.armed &= ~got;
    r.events |= got;
}

}  // namespace

void give_filter_early_input(Connection& c, const uint8_t* data, size_t n) {
    if (!c.filter || n == 0) return;
    size_t taken = c.filter->put_network(data, n);
    c.filter_backlog.insert(c.filter_backlog.end(), data + taken, data + n);
    bound_backlog(c);
}

std::string with_filter_cause(const Connection& c, const char* message) {
    if (!c.filter || c.filter->error_text().empty()) return message;
    return std::string(message) + " (" + c.filter->error_text() + ")";
}

int start_send(Connection& c) {
    assert(on_group_thread(c.group));
    quiet_events(c);
    size_t length = c.socket == platform::kInvalidSocket ? 0 : fill_send_buffer(c);
    if (length == 0) {
        register_events(c, kNetRead | kNetClose);
        return 1;
    }
    c.send_length = length;
    c.send_offset = 0;
    c.send_pending = true;
    return 0;
}

void service_socket(Connection& c, uint32_t ready) {
    bool serviced = false;
    if (c.receive_pending &&
        (ready & (platform::kPollReadable | platform::kPollHangup | platform::kPollError))) {
        do_receive(c);
        serviced = true;
    }
    if (c.send_pending &&
        (ready & (platform::kPollWritable | platform::kPollHangup | platform::kPollError))) {
        do_send(c);
        serviced = true;
    }
    // Readiness already used by a read or write says nothing new about the registered events.
    if (!serviced && c.armed && c.socket != platform::kInvalidSocket) record_events(c, ready);
}

bool abort_pending_io(Connection& c) {
    // The socket was closed under outstanding I/O: its completions report the abort. With a
    // removal waiting, the last of them frees the connection.
    c.receive_pending = false;
    c.read_ahead = false;
    c.send_pending = false;
    if (c.deferred_removal) {
        free_connection(c.deferred_removal, &c);
        return true;
    }
    raise_flag(c, kFlagIoDone);
    return false;
}

}  // namespace orvane
