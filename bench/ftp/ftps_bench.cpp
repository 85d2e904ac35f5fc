// FTPS throughput on loopback against vsftpd (AUTH TLS, PROT P, require_ssl_reuse): one large file
// down and up, timed for our engine and for curl --ssl-reqd in the same run. ftps_bench [MiB]
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/ftp/bench_common.h"
#include "client/frontend/output.h"
#include "client/transfer/tls_context.h"
#include "tests/client/transfer/ftp_session_harness.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace orvane;
using namespace orvane::bench;

double run_curl_tls(std::vector<std::string> args) {
    args.insert(args.begin(), {"-s", "-S", "--ssl-reqd", "-k"});
    return run_curl(args);
}

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
    const std::string url = server.url("/pub/");
    const double bytes = static_cast<double>(mib) * 1024 * 1024;
    const auto expected = static_cast<int64_t>(bytes);

    make_file(server.local_home() + "/big.bin", mib);
    auto start = Clock::now();
    int r = h.download("big.bin", local.file("ours.bin"));
    double ours_down = seconds_since(start);
    bool ok = r == 0 && size_of(local.file("ours.bin")) == expected;
    std::filesystem::remove(local.file("ours.bin"));
    double curl_down = run_curl_tls({"-o", local.file("curl.bin"), url + "big.bin"});
    ok = ok && size_of(local.file("curl.bin")) == expected;
    std::filesystem::remove(local.file("curl.bin"));
    std::filesystem::remove(server.local_home() + "/big.bin");

    make_file(local.file("up.bin"), mib);
    start = Clock::now();
    r = h.upload(local.file("up.bin"), "ours_up.bin");
    double ours_up = seconds_since(start);
    ok = ok && r == 0 && size_of(server.local_home() + "/ours_up.bin") == expected;
    std::filesystem::remove(server.local_home() + "/ours_up.bin");
    double curl_up = run_curl_tls({"-T", local.file("up.bin"), url + "curl_up.bin"});
    ok = ok && size_of(server.local_home() + "/curl_up.bin") == expected;
    h.disconnect();

    outputf(kLevelInfo, "vsftpd FTPS on loopback, AUTH TLS, PROT P, passive, binary; %zu MiB file", mib);
    report("download", bytes, ours_down, curl_down);
    report("upload", bytes, ours_up, curl_up);
    if (!ok) outputf(kLevelError, "a transfer did not complete");
    return ok ? 0 : 1;
}
