// The SSH filter of the network core: a session made with this client's parts (the key-exchange
// methods, user authentication and the session channel).
#pragma once

#include "client/ssh/ssh_session.h"

namespace orvane::ssh {

// The parts every session of the program is made with.
SshParts ssh_parts();

// A new session with those parts; null when out of memory.
ByteFilter* ssh_create_session(const FilterConfig& config);
// The provider an engine is started with for its SSH connections.
FilterProvider ssh_filter_provider();

}  // namespace orvane::ssh
