// EngineOwner: a run mode's transfer engine, started by its first user and stopped by its last.
#pragma once

#include <memory>

#include "client/transfer/net/transfer_engine.h"

namespace orvane {

// Holds what the engine is started with (filter providers, options, the client certificate), so
// that a run without sessions or mail records holds no engine threads. Requester's thread only;
// it must outlive every user.
class EngineOwner {
  public:
    explicit EngineOwner(FilterProviders providers = {}, EngineOptions options = {});
    ~EngineOwner();
    EngineOwner(const EngineOwner&) = delete;
    EngineOwner& operator=(const EngineOwner&) = delete;

    // Counts a user in, starting the engine (its own messages to `log`) when it is the first.
    // Null, with no user counted, when the engine cannot be started.
    TransferEngine* acquire(LogCallback log, void* log_user);
    // Counts a user out; the last one stops and frees the engine.
    void release();
    // The running engine; null while none runs.
    TransferEngine* engine() const { return engine_.get(); }

    // Delivers the queued completions of the running engine (nothing while none runs).
    void pump();
    size_t queued_completions() const;

    // The client certificate of the engine's TLS context: kept for engines started later and set
    // on the running one. 0 when kept; 1 when the running engine's context refused it.
    int set_client_certificate(const ClientCertificate& certificate);

  private:
    FilterProviders providers_;
    EngineOptions options_;
    ClientCertificate certificate_;
    std::unique_ptr<TransferEngine> engine_;
    int users_ = 0;
};

}  // namespace orvane
