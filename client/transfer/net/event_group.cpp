// The event thread of a group: one poll() over its events and sockets, step calls, removals.
#include "client/transfer/net/event_group.h"

#include <algorithm>
#include <cassert>

#include "client/transfer/net/transfer_engine.h"
#include "platform/crash_report.h"

namespace orvane {

namespace {

// One connection's entries in the thread's wait table.
struct Slot {
    Connection* connection;
    size_t flag_index;
    size_t socket_index;  // SIZE_MAX when its socket is not watched
    platform::SocketHandle socket;
    uint32_t socket_serial;
    bool removed;
};

constexpr size_t kNone = SIZE_MAX;
constexpr size_t kControl = 0, kWake = 1, kTick = 2;

uint32_t socket_interest(const Connection& c) {
    uint32_t want = 0;
    if (c.receive_pending) want |= platform::kPollReadable;
    if (c.send_pending) want |= platform::kPollWritable;
    if (c.armed & (kNetRead | kNetAccept)) want |= platform::kPollReadable;
    if (c.armed & kNetClose) want |= platform::kPollPeerClosed;
    if (c.armed & (kNetWrite | kNetConnect)) want |= platform::kPollWritable;
    return want;
}

bool io_orphaned(const Connection& c) {
    return (c.receive_pending || c.send_pending) && c.socket == platform::kInvalidSocket;
}

void finish_control(EventGroup* g) {
    std::lock_guard<std::mutex> hold(g->control_mutex);
    g->control_busy = false;
    g->pending_removal = nullptr;
    g->control_done.notify_all();
}

// Collects the connection's events and flags and runs its step (or its default step). `signalled`:
// the wait found its flag event set (raise_flag may signal it after this thread took the flags).
void run_step(Connection& c, bool signalled) {
    {
        std::lock_guard<std::mutex> hold(c.flag_lock);
        c.flags = c.pending_flags;
        c.pending_flags = 0;
        c.wake_local = false;
        if (c.flag_event_set || signalled) {
            c.flag_event.reset();
            c.flag_event_set = false;
        }
    }
    c.network_events = c.recorded;
    c.recorded = {};
    if (c.flags == 0 && c.network_events.events == 0) return;
    StepFunction fn;
    {
        std::lock_guard<std::mutex> hold(c.step_lock);
        // A finished step waits for its delivery; wake-ups meanwhile go to the default step.
        fn = (c.step && !c.finished) ? c.step : c.default_step;
    }
    note_woken(c, c.flags);
    if (fn) fn(c);
}

// Handles the control event: a removal, or the end of the thread. False ends the thread.
bool handle_control(EventGroup* g) {
    g->control.reset();
    Connection* target;
    {
        std::lock_guard<std::mutex> hold(g->control_mutex);
        if (!g->control_busy) return true;
        if (g->stop_requested) return false;
        target = g->pending_removal;
    }
    bool found;
    {
        std::lock_guard<std::mutex> hold(g->lock);
        found = std::find(g->connections.begin(), g->connections.end(), target) != g->connections.end();
    }
    if (!found) {
        finish_control(g);
        return true;
    }
    quiet_events(*target);
    if (target->receive_pending || target->send_pending) {
        // Its outstanding I/O completes (aborted) on this thread and frees it then.
        target->deferred_removal = g;
        close_socket(*target);
        g->engine->stats().deferred_removals.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    close_socket(*target);
    free_connection(g, target);
    return true;
}

}  // namespace

void free_connection(EventGroup* g, Connection* c) {
    bool deferred = c->deferred_removal != nullptr;
    {
        std::lock_guard<std::mutex> hold(g->lock);
        auto it = std::find(g->connections.begin(), g->connections.end(), c);
        if (it != g->connections.end()) g->connections.erase(it);
    }
    // A finished step's completion must not be delivered to freed memory.
    g->engine->forget_completion(c);
    delete c;
    (void)deferred;
    finish_control(g);
}

void run_event_group(EventGroup* g) {
    platform::ThreadSignalStack alt_stack;
    g->thread_id.store(std::this_thread::get_id());
    platform::PollSet poll;
    std::vector<Slot> slots;
    for (;;) {
        // Rebuild the wait table from the connection list.
        poll.clear();
        poll.add(g->control.descriptor(), platform::kPollReadable);
        poll.add(g->wake.descriptor(), platform::kPollReadable);
        poll.add(g->tick.descriptor(), platform::kPollReadable);
        slots.clear();
        bool immediate = false;
        {
            std::lock_guard<std::mutex> hold(g->lock);
            for (Connection* c : g->connections) {
                Slot s{c,
                       poll.add(c->flag_event.descriptor(), platform::kPollReadable),
                       kNone,
                       c->socket,
                       c->socket_serial,
                       false};
                uint32_t want = c->socket_active ? socket_interest(*c) : 0;
                if (c->socket != platform::kInvalidSocket && want) s.socket_index = poll.add(c->socket, want);
                {
                    std::lock_guard<std::mutex> flags(c->flag_lock);
                    if (c->wake_local) immediate = true;
                }
                if (io_orphaned(*c) || c->recorded.events) immediate = true;
                slots.push_back(s);
            }
        }
        if (poll.wait(immediate ? 0 : -1) < 0) continue;

        if (poll.ready(kControl)) {
            if (!handle_control(g)) break;
            continue;
        }
        if (poll.ready(kWake)) {
            g->wake.reset();
            continue;
        }
        if (poll.ready(kTick)) {
            g->tick.reset();
            for (Slot& s : slots) {
                if (note_second(*s.connection)) raise_flag(*s.connection, kFlagTimedOut);
            }
        }
        for (Slot& s : slots) {
            Connection& c = *s.connection;
            if (s.socket_index != kNone && c.socket == s.socket && c.socket_serial == s.socket_serial) {
                uint32_t ready = poll.ready(s.socket_index);
                if (ready) service_socket(c, ready);
            }
            if (io_orphaned(c) && abort_pending_io(c)) {
                s.removed = true;
                continue;
            }
            run_step(c, poll.ready(s.flag_index) != 0);
        }
    }
    g->running.store(false);
}

void remove_from_group(EventGroup* g, Connection* c) {
    assert(!on_group_thread(g));
    std::unique_lock<std::mutex> hold(g->control_mutex);
    g->control_done.wait(hold, [g] { return !g->control_busy; });
    g->control_busy = true;
    g->pending_removal = c;
    g->control.set();
    g->control_done.wait(hold, [g] { return !g->control_busy; });
}

void stop_group_thread(EventGroup* g) {
    assert(!on_group_thread(g));
    if (g->thread.joinable()) {
        {
            std::unique_lock<std::mutex> hold(g->control_mutex);
            g->control_done.wait(hold, [g] { return !g->control_busy; });
            g->control_busy = true;
            g->stop_requested = true;
            g->control.set();
        }
        g->thread.join();
        std::lock_guard<std::mutex> hold(g->control_mutex);
        g->control_busy = false;
        g->stop_requested = false;
    }
    g->running.store(false);
}

}  // namespace orvane
