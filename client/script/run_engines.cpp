// The run's engines with the filter providers of TLS and SSH, and its request table.
#include "client/script/run_engines.h"

#include "client/ssh/sftp/sftp_requests.h"
#include "client/ssh/ssh_filter.h"
#include "client/transfer/ftp/ftp_requests.h"
#include "client/transfer/session/request_table.h"
#include "client/transfer/tls/tls_context.h"

namespace orvane {

namespace {

FilterProviders transfer_providers() {
    FilterProviders p;
    p.tls = openssl_tls_provider();
    p.ssh = ssh::ssh_filter_provider();
    return p;
}

FilterProviders mail_providers() {
    FilterProviders p;
    p.tls = openssl_tls_provider();
    return p;
}

}  // namespace

RunEngines::RunEngines()
    : transfer(transfer_providers()),
      mail(mail_providers()),
      requests(make_request_table(ftp_request_handlers(), sftp::sftp_request_handlers())) {}

}  // namespace orvane
