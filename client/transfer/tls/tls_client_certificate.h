// The client certificate of a run's transfer engine: checked before it is kept, so that a file
// that does not load leaves the certificate in force unchanged.
#pragma once

#include "client/transfer/net/engine_owner.h"
#include "client/transfer/tls/tls_context.h"

namespace orvane {

// Loads the certificate (and key) as tls_load_client_certificate does, on a context of its own;
// when it loads, it becomes the certificate of every TLS context of `engines`, the running one
// included. 0 on success; 1 when it does not load (the certificate in force before stays).
// Requester's thread.
int set_client_certificate(EngineOwner& engines, const ClientCertificate& certificate);

}  // namespace orvane
