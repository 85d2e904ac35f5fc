// TransferEngine: the event groups, the tick thread and the completion list of one requester.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "client/transfer/net/connection.h"
#include "platform/event.h"

namespace orvane {

// Everything a new connection needs, given before its group thread can see it.
struct ConnectionSetup {
    int security_mode = kSecurityPlain;
    FilterConfig filter;      // for the TLS and SSH modes
    int timeout_seconds = 0;  // 0: never times out
    TimeRule time_rule = TimeRule::kIdle;
    ReceiveHandler on_receive = nullptr;
    SendHandler on_send = nullptr;
    StepFunction default_step = nullptr;
    Session* session = nullptr;  // the owning session, if any
    LogCallback log = nullptr;   // null: the engine's
    void* log_user = nullptr;
};

struct EngineOptions {
    size_t group_capacity = 37;  // connections per event thread
    int tick_ms = 1000;          // the idle-seconds tick
};

// Counters for tests and diagnostics.
struct EngineStats {
    std::atomic<uint64_t> groups_started{0};
    std::atomic<uint64_t> deferred_removals{0};  // connections freed by their I/O's completion
    std::atomic<uint64_t> completions_delivered{0};
};

// Threads: the requester's (open, close, pump), one tick thread, one event thread per group.
// Lock order when nested: engine lock, then a group lock; a connection's step lock, then its
// flag lock. The completion lock is never held with another.
class TransferEngine {
  public:
    // Starts the tick thread; the engine's connections get their filters from `providers`. Null
    // when it cannot be started.
    static std::unique_ptr<TransferEngine> start(LogCallback log, void* log_user,
                                                 FilterProviders providers = {}, EngineOptions options = {});
    // Stops every thread and frees every group and connection.
    ~TransferEngine();
    TransferEngine(const TransferEngine&) = delete;
    TransferEngine& operator=(const TransferEngine&) = delete;

    // Adds a connection to a group (starting or waking its thread) with a fresh socket
    // registered for read and close. Null on failure (nothing is left behind).
    Connection* open_connection(const ConnectionSetup& setup);
    // Removes and frees the connection, waiting for outstanding I/O to complete; a group left
    // without connections is stopped and freed. Never on an event thread.
    void close_connection(Connection* c);

    // Delivers the completions queued when called, in order, on the calling thread (the
    // requester's); with 256 or more queued it drains the list one by one instead.
    void pump_completions();
    size_t queued_completions();

    // Group sizes in list order.
    std::vector<size_t> group_sizes();
    // The TLS context shared by this engine's connections, made on first use (presenting the
    // client certificate, when one is set); null without a TLS provider or when it failed.
    TlsContext* tls_context();
    // The client certificate of the TLS context: kept for a context made later and loaded into
    // the one that exists. 0 when kept (and loaded); 1 when the existing context refused it.
    int set_client_certificate(const ClientCertificate& certificate);
    const FilterProviders& providers() const { return providers_; }
    LogCallback log() const { return log_; }
    void* log_user() const { return log_user_; }
    EngineStats& stats() { return stats_; }

    // Network-core internals.
    void queue_completion(Connection* c);   // from finish_step
    void forget_completion(Connection* c);  // before a connection is freed

  private:
    TransferEngine(LogCallback log, void* log_user, FilterProviders providers, EngineOptions options);
    EventGroup* choose_group();  // engine lock held
    void run_tick();
    static void deliver(Connection* c);

    LogCallback log_;
    void* log_user_;
    EngineOptions options_;
    const FilterProviders providers_;
    std::mutex tls_lock_;  // guards tls_context_ and certificate_
    TlsContext* tls_context_ = nullptr;
    ClientCertificate certificate_;
    EngineStats stats_;

    std::mutex lock_;  // guards groups_
    std::vector<EventGroup*> groups_;

    std::mutex completion_lock_;  // guards completions_, delivering_, pumping_
    std::vector<Connection*> completions_;
    std::vector<Connection*> delivering_;
    bool pumping_ = false;

    std::thread tick_thread_;
    platform::Event tick_stop_;
};

}  // namespace orvane
