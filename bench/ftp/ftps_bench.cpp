// FTPS throughput on loopback against vsftpd (AUTH TLS, PROT P, require_ssl_reuse): one large file
// down and up, timed for our engine, curl --ssl-reqd and lftp in the same run. ftps_bench [MiB] [block KiB]
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/ftp/bench_common.h"
#include "client/frontend/output.h"
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
    size_t mib = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 1024;
    size_t block_kib = argc > 2 ? static_cast<size_t>(std::atoi(argv[2])) : 0;

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

    // An explicit block size (KiB) replaces the one the connect chose, for measuring.
    if (block_kib > 0) set_io_block(*h.s().data, block_kib * 1024);
    LargeFileTimes big =
        time_large_file(h, server, local, mib, {"-s", "-S", "--ssl-reqd", "-k"},
                        "set net:max-retries 1; set ftp:passive-mode on; set ftp:ssl-force true; set "
                        "ftp:ssl-protect-data true; set ssl:verify-certificate no; ");
    bool ok = big.ok;
    h.disconnect();

    outputf(kLevelInfo, "vsftpd FTPS on loopback, AUTH TLS, PROT P, passive, binary; %zu MiB file", mib);
    report3("download", bytes, big.ours_down, big.curl_down, big.lftp_down);
    report3("upload", bytes, big.ours_up, big.curl_up, big.lftp_up);
    if (!ok) outputf(kLevelError, "a transfer did not complete");
    return ok ? 0 : 1;
}
