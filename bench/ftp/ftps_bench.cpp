// FTPS throughput on loopback against vsftpd (AUTH TLS, PROT P, require_ssl_reuse): one large file
// down and up, timed for our engine and for curl --ssl-reqd in the same run. ftps_bench [MiB]
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "client/frontend/output.h"
#include "client/transfer/tls_context.h"
#include "tests/client/transfer/ftp_session_harness.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace orvane;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One random MiB repeated: TLS encrypts every byte alike, their values do not matter.
void make_file(const std::string& path, size_t mib) {
    std::mt19937 gen(7);
    std::string block(1 << 20, '\0');
    for (auto& ch : block) ch = static_cast<char>(gen());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (size_t i = 0; i < mib; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
}

int64_t size_of(const std::string& path) {
    std::error_code ec;
    auto n = std::filesystem::file_size(path, ec);
    return ec ? -1 : static_cast<int64_t>(n);
}

double run_curl(std::vector<std::string> args) {
    args.insert(args.begin(), {"-s", "-S", "--ssl-reqd", "-k"});
    auto start = Clock::now();
    test::ProcessResult r = test::run_process("/usr/bin/curl", args, {}, false, std::chrono::minutes(10));
    double t = seconds_since(start);
    if (r.exit_code != 0) outputf(kLevelError, "curl failed (%d): %s", r.exit_code, r.output.c_str());
    return t;
}

void report(const char* what, double bytes, double ours, double curl) {
    double mib = bytes / (1024.0 * 1024.0);
    outputf(kLevelInfo,
            "%-9s ours %7.2f s %8.1f MiB/s | curl %7.2f s %8.1f MiB/s | ours/curl throughput %.2f", what,
            ours, mib / ours, curl, mib / curl, curl / ours);
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
    double curl_down = run_curl({"-o", local.file("curl.bin"), url + "big.bin"});
    ok = ok && size_of(local.file("curl.bin")) == expected;
    std::filesystem::remove(local.file("curl.bin"));
    std::filesystem::remove(server.local_home() + "/big.bin");

    make_file(local.file("up.bin"), mib);
    start = Clock::now();
    r = h.upload(local.file("up.bin"), "ours_up.bin");
    double ours_up = seconds_since(start);
    ok = ok && r == 0 && size_of(server.local_home() + "/ours_up.bin") == expected;
    std::filesystem::remove(server.local_home() + "/ours_up.bin");
    double curl_up = run_curl({"-T", local.file("up.bin"), url + "curl_up.bin"});
    ok = ok && size_of(server.local_home() + "/curl_up.bin") == expected;
    h.disconnect();

    outputf(kLevelInfo, "vsftpd FTPS on loopback, AUTH TLS, PROT P, passive, binary; %zu MiB file", mib);
    report("download", bytes, ours_down, curl_down);
    report("upload", bytes, ours_up, curl_up);
    if (!ok) outputf(kLevelError, "a transfer did not complete");
    return ok ? 0 : 1;
}
