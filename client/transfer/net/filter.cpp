// The installed filter providers, and the configuration record's wipe.
#include "client/transfer/net/filter.h"

#include <atomic>

#include "common/secret.h"

namespace orvane {

namespace {
std::atomic<const FilterProvider*> g_tls{nullptr};
std::atomic<const FilterProvider*> g_ssh{nullptr};

std::atomic<const FilterProvider*>* slot(int mode) {
    if (mode == kSecurityTls) return &g_tls;
    if (mode == kSecuritySsh) return &g_ssh;
    return nullptr;
}
}  // namespace

FilterConfig::~FilterConfig() {
    wipe_secret(password);
    wipe_secret(pass_phrase);
}

void install_filter_provider(int mode, const FilterProvider* provider) {
    if (auto* s = slot(mode)) s->store(provider);
}

const FilterProvider* filter_provider(int mode) {
    auto* s = slot(mode);
    return s ? s->load() : nullptr;
}

}  // namespace orvane
