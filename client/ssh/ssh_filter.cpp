// The SSH filter of the network core: the program's sessions and their parts.
#include "client/ssh/ssh_filter.h"

#include <new>

#include "client/ssh/kex_methods.h"
#include "client/ssh/ssh_channel.h"
#include "client/ssh/ssh_userauth.h"

namespace orvane::ssh {

SshParts ssh_parts() {
    return SshParts{&make_ssh_kex_run, &make_userauth_service_of_parts, &make_channel_service_of_parts};
}

ByteFilter* ssh_create_session(const FilterConfig& config) {
    return new (std::nothrow) SshSession(config, ssh_parts());
}

FilterProvider ssh_filter_provider() {
    FilterProvider provider;
    provider.create_filter = &ssh_create_session;
    return provider;
}

}  // namespace orvane::ssh
