// The engine's start on first use and stop after the last user, and the settings it starts with.
#include "client/transfer/net/engine_owner.h"

namespace orvane {

EngineOwner::EngineOwner(FilterProviders providers, EngineOptions options)
    : providers_(providers), options_(options) {}

EngineOwner::~EngineOwner() = default;

TransferEngine* EngineOwner::acquire(LogCallback log, void* log_user) {
    if (users_ == 0) {
        engine_ = TransferEngine::start(log, log_user, providers_, options_);
        if (!engine_) return nullptr;
        if (!certificate_.empty()) engine_->set_client_certificate(certificate_);
    }
    ++users_;
    return engine_.get();
}

void EngineOwner::release() {
    if (users_ > 0 && --users_ == 0) engine_.reset();
}

void EngineOwner::pump() {
    // Users are made and destroyed on this thread, so the engine cannot go away while it pumps.
    if (engine_) engine_->pump_completions();
}

size_t EngineOwner::queued_completions() const {
    return engine_ ? engine_->queued_completions() : 0;
}

int EngineOwner::set_client_certificate(const ClientCertificate& certificate) {
    certificate_ = certificate;
    return engine_ ? engine_->set_client_certificate(certificate_) : 0;
}

}  // namespace orvane
