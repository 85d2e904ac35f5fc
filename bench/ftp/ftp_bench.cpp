// FTP throughput on loopback against vsftpd: one large file down and up, then many small files in one
// session, each timed for our engine, curl and lftp in the same run. ftp_bench [MiB] [files] [block KiB]
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
    int files = argc > 2 ? std::atoi(argv[2]) : 200;
    size_t block_kib = argc > 3 ? static_cast<size_t>(std::atoi(argv[3])) : 0;

    test::FtpServer server;
    if (server.start(test::FtpServerKind::kVsftpd) != 0) {
        outputf(kLevelError, "vsftpd did not start: %s", server.error().c_str());
        return 1;
    }
    test::TempDir local;
    test::FtpSessionHarness h;
    h.s().log_enabled = 0;
    if (h.connect(server.port(), server.user(), server.password()) != 0 || h.change_folder("/pub") != 0) {
        outputf(kLevelError, "login failed");
        return 1;
    }
    const std::string url = server.url("/pub/");
    const double bytes = static_cast<double>(mib) * 1024 * 1024;

    // An explicit block size (KiB) replaces the one the connect chose, for measuring.
    if (block_kib > 0) set_io_block(*h.s().data, block_kib * 1024);
    LargeFileTimes big = time_large_file(h, server, local, mib, {"-s", "-S"},
                                         "set net:max-retries 1; set ftp:passive-mode on; ");
    bool ok = big.ok;

    // Many small files: one session of ours, one curl invocation for all of them.
    std::string small(4096, 's');
    std::vector<std::string> curl_args = {"-s", "-S"};
    std::filesystem::create_directory(local.file("ours"));
    std::filesystem::create_directory(local.file("curl"));
    for (int i = 0; i < files; ++i) {
        std::string name = "small" + std::to_string(i) + ".txt";
        test::write_all(server.local_home() + "/" + name, small);
        curl_args.insert(curl_args.end(), {url + name, "-o", local.file("curl/" + name)});
    }
    auto start = Clock::now();
    for (int i = 0; i < files; ++i) {
        std::string name = "small" + std::to_string(i) + ".txt";
        ok = ok && h.download(name, local.file("ours/" + name)) == 0;
    }
    double ours_small = seconds_since(start);
    double curl_small = run_curl(curl_args);
    for (int i = 0; i < files; ++i)
        ok = ok && size_of(local.file("curl/small" + std::to_string(i) + ".txt")) == 4096;
    h.disconnect();

    outputf(kLevelInfo, "vsftpd on loopback, passive, binary; %zu MiB file, %d files of 4 KiB", mib, files);
    report3("download", bytes, big.down.ours, big.down.curl, big.down.lftp);
    report3("upload", bytes, big.up.ours, big.up.curl, big.up.lftp);
    outputf(kLevelInfo, "%d small files: ours %.2f ms per file | curl %.2f ms per file | ours/curl time %.2f",
            files, 1000 * ours_small / files, 1000 * curl_small / files, ours_small / curl_small);
    if (!ok) outputf(kLevelError, "a transfer did not complete");
    return ok ? 0 : 1;
}
