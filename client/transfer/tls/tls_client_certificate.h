// The client certificate of the process: kept as settings so that every TLS context, also one made
// after the engine has restarted, presents it.
#pragma once

#include <string>

#include "client/transfer/tls/tls_context.h"

namespace orvane {

// Loads the certificate (and key) as tls_load_client_certificate does and, when it loads, keeps
// the file names and password for every TLS context made from now on, and applies it to the
// running engine's context. 0 on success; 1 when it does not load (the settings in force before
// stay as they were). Requester's thread.
int set_client_certificate(const std::string& certificate_file, const std::string& key_file,
                           const std::string& password);
// Forgets the settings (contexts made later present no certificate); the password is wiped.
void clear_client_certificate();
// Applies the kept settings to a new context. 0 when none are kept or they loaded.
int apply_client_certificate(TlsContext& context);

}  // namespace orvane
