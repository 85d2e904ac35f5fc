// The trial load of a client certificate before a run's engine keeps it.
#include "client/transfer/tls/tls_client_certificate.h"

#include <memory>

#include "common/limits.h"

namespace orvane {

int set_client_certificate(EngineOwner& engines, const ClientCertificate& certificate) {
    if (certificate.password.size() > kWideTextCapacity) return 1;
    std::unique_ptr<TlsContext> trial(tls_create_context());
    if (!trial || tls_load_client_certificate(*trial, certificate.certificate_file, certificate.key_file,
                                              certificate.password) != 0)
        return 1;
    return engines.set_client_certificate(certificate);
}

}  // namespace orvane
