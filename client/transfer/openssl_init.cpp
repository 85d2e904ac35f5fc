// Loads OpenSSL's providers once per process.
#include "client/transfer/openssl_init.h"

#include <openssl/provider.h>

#include <mutex>

namespace orvane {

int openssl_load_providers() {
    static std::once_flag once;
    static int result = 1;
    std::call_once(once, [] {
        // Loading any provider explicitly stops OpenSSL from loading "default" on its own, so
        // both are named. The handles stay loaded for the life of the process.
        OSSL_PROVIDER* base = OSSL_PROVIDER_load(nullptr, "default");
        OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        result = (base && legacy) ? 0 : 1;
    });
    return result;
}

}  // namespace orvane
