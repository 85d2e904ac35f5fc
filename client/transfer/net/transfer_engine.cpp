// TransferEngine: group choice and growth, the tick thread, opening and closing connections, the
// completion list and its pump.
#include "client/transfer/net/transfer_engine.h"

#include <algorithm>
#include <system_error>

#include "client/transfer/net/event_group.h"
#include "platform/crash_report.h"

namespace orvane {

namespace {
constexpr size_t kPumpSnapshotLimit = 256;
}

std::unique_ptr<TransferEngine> TransferEngine::start(LogCallback log, void* log_user,
                                                      FilterProviders providers, EngineOptions options) {
    std::unique_ptr<TransferEngine> engine(new TransferEngine(log, log_user, providers, options));
    if (!engine->tick_stop_.valid()) return nullptr;
    try {
        engine->tick_thread_ = std::thread([e = engine.get()] { e->run_tick(); });
    } catch (const std::system_error&) {
        return nullptr;
    }
    return engine;
}

TransferEngine::TransferEngine(LogCallback log, void* log_user, FilterProviders providers,
                               EngineOptions options)
    : log_(log), log_user_(log_user), options_(options), providers_(providers) {
    if (options_.group_capacity == 0) options_.group_capacity = 1;
}

TlsContext* TransferEngine::tls_context() {
    std::lock_guard<std::mutex> hold(tls_lock_);
    const FilterProvider& p = providers_.tls;
    if (!tls_context_ && p.create_context) {
        tls_context_ = p.create_context();
        // A certificate that no longer loads leaves the context without one, as a failed load does.
        if (tls_context_ && !certificate_.empty() && p.load_certificate)
            p.load_certificate(*tls_context_, certificate_);
    }
    return tls_context_;
}

int TransferEngine::set_client_certificate(const ClientCertificate& certificate) {
    std::lock_guard<std::mutex> hold(tls_lock_);
    certificate_ = certificate;
    if (!tls_context_ || certificate_.empty()) return 0;
    return providers_.tls.load_certificate ? providers_.tls.load_certificate(*tls_context_, certificate_) : 1;
}

TransferEngine::~TransferEngine() {
    tick_stop_.set();
    if (tick_thread_.joinable()) tick_thread_.join();
    std::vector<EventGroup*> groups;
    {
        std::lock_guard<std::mutex> hold(lock_);
        groups.swap(groups_);
    }
    for (EventGroup* g : groups) {
        stop_group_thread(g);
        for (Connection* c : g->connections) delete c;
        delete g;
    }
    {
        std::lock_guard<std::mutex> hold(completion_lock_);
        completions_.clear();
        delivering_.clear();
    }
    if (tls_context_ && providers_.tls.destroy_context) providers_.tls.destroy_context(tls_context_);
}

void TransferEngine::run_tick() {
    platform::ThreadSignalStack alt_stack;
    while (tick_stop_.wait(options_.tick_ms) == 0) {
        std::lock_guard<std::mutex> hold(lock_);
        for (EventGroup* g : groups_) g->tick.set();
    }
}

EventGroup* TransferEngine::choose_group() {
    // The least loaded group with room; a tie keeps the earlier one. With n groups a new group
    // starts once every group holds at least n connections.
    EventGroup* best = nullptr;
    size_t smallest = 40;
    for (EventGroup* g : groups_) {
        size_t count;
        {
            std::lock_guard<std::mutex> hold(g->lock);
            count = g->connections.size();
        }
        if (count < options_.group_capacity && count < smallest) {
            smallest = count;
            best = g;
        }
    }
    if (best && smallest < groups_.size()) return best;
    EventGroup* g = new EventGroup;
    if (!g->control.valid() || !g->wake.valid() || !g->tick.valid()) {
        delete g;
        return nullptr;
    }
    g->engine = this;
    g->log = log_;
    g->log_user = log_user_;
    groups_.push_back(g);
    return g;
}

Connection* TransferEngine::open_connection(const ConnectionSetup& setup) {
    std::lock_guard<std::mutex> hold(lock_);
    EventGroup* g = choose_group();
    if (!g) return nullptr;
    // Everything the connection needs is in place before its group thread can see it.
    Connection* c = new Connection;
    c->engine = this;
    c->group = g;
    c->log = setup.log ? setup.log : g->log;
    c->log_user = setup.log ? setup.log_user : g->log_user;
    c->step_state.log = c->log;
    c->step_state.log_user = c->log_user;
    c->step_state.session = setup.session;
    c->timeout_seconds = setup.timeout_seconds;
    c->time_rule = setup.time_rule;
    c->on_receive = setup.on_receive;
    c->on_send = setup.on_send;
    c->default_step = setup.default_step;
    bool ok = c->flag_event.valid() && create_socket(*c) != platform::kInvalidSocket;
    if (ok) ok = set_security(*c, setup.security_mode, setup.filter) == 0;
    if (ok) register_events(*c, kNetRead | kNetClose);
    if (ok) {
        std::lock_guard<std::mutex> group_hold(g->lock);
        g->connections.push_back(c);
    }
    if (ok) {
        if (g->running.load()) {
            g->wake.set();
        } else {
            if (g->thread.joinable()) g->thread.join();
            try {
                g->running.store(true);
                g->thread = std::thread(run_event_group, g);
                stats_.groups_started.fetch_add(1, std::memory_order_relaxed);
            } catch (const std::system_error&) {
                g->running.store(false);
                std::lock_guard<std::mutex> group_hold(g->lock);
                g->connections.pop_back();
                ok = false;
            }
        }
    }
    if (!ok) {
        delete c;
        bool empty;
        {
            std::lock_guard<std::mutex> group_hold(g->lock);
            empty = g->connections.empty();
        }
        if (empty && !g->thread.joinable()) {
            groups_.erase(std::find(groups_.begin(), groups_.end(), g));
            delete g;
        }
        return nullptr;
    }
    return c;
}

void TransferEngine::close_connection(Connection* c) {
    if (!c) return;
    EventGroup* g = c->group;
    if (g->running.load()) {
        remove_from_group(g, c);
    } else {
        {
            std::lock_guard<std::mutex> hold(g->lock);
            auto it = std::find(g->connections.begin(), g->connections.end(), c);
            if (it != g->connections.end()) g->connections.erase(it);
        }
        forget_completion(c);
        delete c;
    }
    // A group without connections is stopped and freed; an open that chose it meanwhile keeps it.
    bool empty;
    {
        std::lock_guard<std::mutex> hold(lock_);
        {
            std::lock_guard<std::mutex> group_hold(g->lock);
            empty = g->connections.empty();
        }
        if (empty) groups_.erase(std::find(groups_.begin(), groups_.end(), g));
    }
    if (empty) {
        stop_group_thread(g);
        delete g;
    }
}

void TransferEngine::queue_completion(Connection* c) {
    std::lock_guard<std::mutex> hold(completion_lock_);
    completions_.push_back(c);
}

void TransferEngine::forget_completion(Connection* c) {
    std::lock_guard<std::mutex> hold(completion_lock_);
    completions_.erase(std::remove(completions_.begin(), completions_.end(), c), completions_.end());
    std::replace(delivering_.begin(), delivering_.end(), c, static_cast<Connection*>(nullptr));
}

size_t TransferEngine::queued_completions() {
    std::lock_guard<std::mutex> hold(completion_lock_);
    return completions_.size();
}

void TransferEngine::deliver(Connection* c) {
    void* owner;
    CompletionCallback completion;
    int code, result;
    {
        std::lock_guard<std::mutex> hold(c->step_lock);
        owner = c->owner;
        completion = c->completion;
        code = c->completion_code;
        result = c->result;
        // Cleared before the call, so the callback may post the next step at once.
        c->step = nullptr;
        c->completion = nullptr;
        c->completion_code = 0;
        c->notify = {};
        c->owner = nullptr;
        c->result = 0;
        c->finished = false;
    }
    if (completion) completion(code, owner, result);
}

void TransferEngine::pump_completions() {
    std::unique_lock<std::mutex> hold(completion_lock_);
    if (completions_.size() < kPumpSnapshotLimit && !pumping_) {
        // Exactly the completions queued now; later ones wait for the next pump.
        pumping_ = true;
        delivering_.swap(completions_);
        for (size_t i = 0; i < delivering_.size(); ++i) {
            Connection* c = delivering_[i];
            delivering_[i] = nullptr;
            if (!c) continue;  // freed meanwhile by a callback that closed it
            hold.unlock();
            deliver(c);
            stats_.completions_delivered.fetch_add(1, std::memory_order_relaxed);
            hold.lock();
        }
        delivering_.clear();
        pumping_ = false;
        return;
    }
    // A long list (or a pump inside a callback): one by one, including those queued meanwhile.
    while (!completions_.empty()) {
        Connection* c = completions_.front();
        completions_.erase(completions_.begin());
        hold.unlock();
        deliver(c);
        stats_.completions_delivered.fetch_add(1, std::memory_order_relaxed);
        hold.lock();
    }
}

std::vector<size_t> TransferEngine::group_sizes() {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<size_t> sizes;
    for (EventGroup* g : groups_) {
        std::lock_guard<std::mutex> group_hold(g->lock);
        sizes.push_back(g->connections.size());
    }
    return sizes;
}

}  // namespace orvane
