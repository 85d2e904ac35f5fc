// Reads and writes done by the group thread, their completion routines, and the security filter.
#include <algorithm>
#include <cassert>

#include "client/transfer/net/connection.h"
#include "client/transfer/net/event_group.h"

namespace orvane {

namespace {

// Reads, and sends, in a row for one connection before the others of its group get their turn.
constexpr int kReadBurst = 32;
// Send-handler calls of one SSH fill (each up to 8192 bytes).
constexpr int kSshFillRounds = 64;

void wake_step(Connection& c) {
    register_events(c, kNetRead | kNetClose);
    raise_flag(c, kFlagIoDone);
}

uint8_t* filter_buffer(Connection& c, size_t size = kIoBufferSize) {
    if (c.filter_buffer.size() < size) c.filter_buffer.resize(size);
    return c.filter_buffer.data();
}

// Application data the TLS channel or SSH session already holds, to the receive handler.
// Returns 1 when the handler stopped.
int deliver_held(Connection& c) {
    if (!c.on_receive) return 0;
    if (c.security_mode == kSecurityTls && c.tls) {
        uint8_t* buffer = filter_buffer(c);
        for (;;) {
            size_t n = c.tls->read_plaintext(buffer, kIoBufferSize);
            if (n == 0) return 0;
            if (c.on_receive(c, buffer, n) == 1) return 1;
        }
    }
    if (c.security_mode == kSecuritySsh && c.ssh) {
        uint8_t* buffer = filter_buffer(c);
        for (;;) {
            size_t n = c.ssh->take_application_input(buffer, kIoBufferSize);
            if (n == 0) return 0;
            int stop = c.on_receive(c, buffer, n);
            c.ssh->step();
            if (stop == 1) return 1;
        }
    }
    return 0;
}

// Received bytes through the connection's filter to the handler. Returns 1 when it stopped.
int deliver_received(Connection& c, const uint8_t* data, size_t n) {
    switch (c.security_mode) {
        case kSecurityTls:
            if (!c.tls) return 0;
            if (n > 0) c.tls->write_network_input(data, n);
            {
                int stop = deliver_held(c);
                if (!c.send_pending && c.tls && c.tls->network_output_waiting()) start_send(c);
                return stop;
            }
        case kSecuritySsh:
            if (!c.ssh) return 0;
            if (n > 0) c.ssh->append_network_input(data, n);
            c.ssh->step();
            {
                int stop = deliver_held(c);
                if (!c.send_pending && c.ssh && c.ssh->network_output_waiting()) start_send(c);
                return stop;
            }
        default:
            return c.on_receive ? c.on_receive(c, data, n) : 0;
    }
}

// The send buffer's next contents through the filter; the number of bytes to send.
size_t fill_send_buffer(Connection& c) {
    uint8_t* out = c.send_buffer.data();
    size_t length = 0;
    switch (c.security_mode) {
        case kSecurityTls: {
            if (!c.tls) return 0;
            c.tls->flush_pending_plaintext();
            // Two blocks make one full-size TLS record: a record of 8 KiB costs the peer as much
            // to open as one of 16 KiB.
            uint8_t* plain = filter_buffer(c, 2 * kIoBufferSize);
            while (!c.tls->has_pending_plaintext() && c.on_send) {
                size_t n = 0, more = 0;
                if (c.on_send(c, plain, &n, kIoBufferSize) != 0 || n == 0) break;
                n = std::min(n, kIoBufferSize);
                if (c.on_send(c, plain + n, &more, kIoBufferSize) == 0) n += std::min(more, kIoBufferSize);
                c.tls->write_plaintext(plain, n);
            }
            int64_t r = c.tls->read_network_output(out, kIoBufferSize);
            return r > 0 ? static_cast<size_t>(r) : 0;
        }
        case kSecuritySsh: {
            if (!c.ssh) return 0;
            uint8_t* plain = filter_buffer(c);
            for (int round = 0; round < kSshFillRounds && c.on_send; ++round) {
                size_t n = 0;
                if (c.on_send(c, plain, &n, kIoBufferSize) != 0 || n == 0) break;
                c.ssh->append_application_output(plain, std::min(n, kIoBufferSize));
                c.ssh->step();
            }
            return c.ssh->take_network_output(out, kIoBufferSize);
        }
        default:
            if (!c.on_send || c.on_send(c, out, &length, kIoBufferSize) != 0) return 0;
            return std::min(length, kIoBufferSize);
    }
}

// The receive completion routine for n bytes with error e (n 0 and e 0: the peer closed).
void receive_completed(Connection& c, size_t n, int e) {
    c.receive_pending = false;
    c.read_ahead = false;
    c.idle_seconds = 0;
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
        int64_t r = platform::socket_receive(c.socket, c.receive_buffer.data(), kIoBufferSize, &error);
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
    c.idle_seconds = 0;
    bool finished = true;
    if (e == 0 && n != 0 && c.socket != platform::kInvalidSocket) finished = start_send(c) != 0;
    if (c.receive_pending) return;  // its completion wakes the step
    if (c.security_mode != kSecurityPlain) deliver_held(c);
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
