// The run's engines with the filter providers of TLS and SSH, and its request table.
#include "client/script/run_engines.h"

#include "client/ssh/sftp/sftp_requests.h"
#include "client/ssh/ssh_filter.h"
#include "client/transfer/ftp/ftp_requests.h"
#include "client/transfer/session/request_table.h"
#include "client/transfer/tls/tls_client_certificate.h"
#include "client/transfer/tls/tls_context.h"

namespace orvane {

namespace {

FilterProviders transfer_providers(CertificateDecision certificates) {
    FilterProviders p;
    p.tls = openssl_tls_provider();
    p.ssh = ssh::ssh_filter_provider();
    p.certificates = certificates;
    return p;
}

FilterProviders mail_providers(CertificateDecision certificates) {
    FilterProviders p;
    p.tls = openssl_tls_provider();
    p.certificates = certificates;
    return p;
}

// The policy read on this (the requester's) thread before any engine can ask it.
CertificateDecision loaded(TlsTrustPolicy& trust, const TlsTrustSettings& settings) {
    trust.load(settings);
    return trust.decision();
}

}  // namespace

RunEngines::RunEngines(const TlsRunSettings& tls)
    : tls_settings(tls),
      transfer(transfer_providers(loaded(trust, tls.trust))),
      mail(mail_providers(trust.decision())),
      requests(make_request_table(ftp_request_handlers(), sftp::sftp_request_handlers())) {}

int RunEngines::load_client_certificate() {
    if (tls_settings.certificate.empty()) return 0;
    int r = set_client_certificate(transfer, tls_settings.certificate);
    // The password has done its work; the engine keeps its own copy.
    tls_settings.certificate = ClientCertificate();
    return r;
}

}  // namespace orvane
