// The installed TLS and SSH providers.
#include "client/transfer/net/filter.h"

#include <atomic>

namespace orvane {

namespace {
std::atomic<const TlsProvider*> g_tls{nullptr};
std::atomic<const SshProvider*> g_ssh{nullptr};
}  // namespace

void install_tls_provider(const TlsProvider* provider) {
    g_tls.store(provider);
}
void install_ssh_provider(const SshProvider* provider) {
    g_ssh.store(provider);
}
const TlsProvider* tls_provider() {
    return g_tls.load();
}
const SshProvider* ssh_provider() {
    return g_ssh.load();
}

}  // namespace orvane
