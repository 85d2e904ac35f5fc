// Loads OpenSSL's providers once per process.
#include "common/openssl_init.h"

#include <openssl/provider.h>

#include <cstdlib>
#include <mutex>

namespace orvane {

namespace {

OSSL_PROVIDER* g_default = nullptr;
OSSL_PROVIDER* g_legacy = nullptr;

// Runs before OpenSSL's own exit clean-up, which was registered when the first load set it up.
void unload_providers() {
    if (g_legacy) OSSL_PROVIDER_unload(g_legacy);
    if (g_default) OSSL_PROVIDER_unload(g_default);
    g_legacy = g_default = nullptr;
}

}  // namespace

int openssl_load_providers() {
    static std::once_flag once;
    static int result = 1;
    std::call_once(once, [] {
        // Loading any provider explicitly stops OpenSSL from loading "default" on its own, so
        // both are named. They stay loaded until the process exits.
        g_default = OSSL_PROVIDER_load(nullptr, "default");
        g_legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        std::atexit(unload_providers);
        result = (g_default && g_legacy) ? 0 : 1;
    });
    return result;
}

}  // namespace orvane
