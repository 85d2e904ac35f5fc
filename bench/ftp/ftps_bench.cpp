// FTPS throughput on loopback against vsftpd (AUTH TLS, PROT P, require_ssl_reuse): one large file
// down and up, timed for our engine and for curl --ssl-reqd in the same run. ftps_bench [MiB]
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/ftp/bench_common.h"
#include "client/frontend/output.h"
#include "client/transfer/tls/tls_context.h"
#include "tests/client/transfer/ftp/ftp_session_harness.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace orvane;
using namespace orvane::bench;

}  // namespace

int main(int argc, char** argv) {
    install_standard_output();
    install_openssl_tls();
    size_t mib = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 1024;

    test::FtpServer server;
    test::FtpServerOptions options;
    options.tls = true;
    if (server.start(test::FtpServerKind::kVsftpd, options) != 0) {
        outputf(kLevelError, "vsftpd did not start: %s", server.error().c_str());
        return 1;
    }
    test::TempDir local;
    test::FtpSessionHarness h(kProtocolFtpsProtected);
    h.s().log_enabled = 0;
    if (h.connect(server.port(), server.user(), server.password()) != 0 || h.change_folder("/pub") != 0) {
        outputf(kLevelError, "login failed");
        return 1;
    }
    const double bytes = static_cast<double>(mib) * 1024 * 1024;

    LargeFileTimes big = time_large_file(h, server, local, mib, {"-s", "-S", "--ssl-reqd", "-k"});
    bool ok = big.ok;
    h.disconnect();

    outputf(kLevelInfo, "vsftpd FTPS on loopback, AUTH TLS, PROT P, passive, binary; %zu MiB file", mib);
    report("download", bytes, big.ours_down, big.curl_down);
    report("upload", bytes, big.ours_up, big.curl_up);
    if (!ok) outputf(kLevelError, "a transfer did not complete");
    return ok ? 0 : 1;
}
