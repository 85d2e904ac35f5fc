// EventGroup: one event thread and the connections it serves (at most 37).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

#include "client/transfer/net/connection.h"
#include "platform/event.h"

namespace orvane {

struct EventGroup {
    TransferEngine* engine = nullptr;
    LogCallback log = nullptr;
    void* log_user = nullptr;

    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<std::thread::id> thread_id{};

    platform::Event control;  // a removal or the end of the thread is asked for
    platform::Event wake;     // the connection list changed
    platform::Event tick;     // one second has passed

    std::mutex lock;  // guards `connections`
    std::vector<Connection*> connections;

    // The removal hand-over with the thread, guarded by control_mutex.
    std::mutex control_mutex;
    std::condition_variable control_done;
    bool control_busy = false;
    bool stop_requested = false;
    Connection* pending_removal = nullptr;
};

// True on the group's own event thread.
inline bool on_group_thread(const EventGroup* g) {
    return g && g->thread_id.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

// The event thread's loop (until asked to stop).
void run_event_group(EventGroup* group);
// Asks the group thread to remove the connection and waits until it is freed (which may be
// later, when its outstanding I/O has completed). Not on the group's own thread.
void remove_from_group(EventGroup* group, Connection* c);
// Ends the group's thread and waits for it. Not on the group's own thread.
void stop_group_thread(EventGroup* group);
// Unlinks and frees a connection on the group thread (group lock taken inside).
void free_connection(EventGroup* group, Connection* c);

// Group thread internals shared with the I/O routines.
void service_socket(Connection& c, uint32_t ready);
// Runs the completion of I/O left outstanding when the socket was closed. True when the
// connection was freed by it.
bool abort_pending_io(Connection& c);

}  // namespace orvane
