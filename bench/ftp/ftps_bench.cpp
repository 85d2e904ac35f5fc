// FTPS throughput on loopback against vsftpd (AUTH TLS, PROT P, require_ssl_reuse): one large file
// down and up, timed for our engine, curl --ssl-reqd and lftp in the same run, over several rounds
// that rotate which tool goes first. ftps_bench [MiB] [rounds] [block KiB]
#include <algorithm>
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

// Medians over the rounds of each tool's seconds and CPU seconds, and of the per-round ratio against
// the faster peer of the same round, with its range.
void summarize(const char* what, double bytes, const std::vector<ToolTimes>& wall,
               const std::vector<ToolTimes>& cpu) {
    std::vector<double> ours, curl, lftp, ratio, ours_cpu, curl_cpu, lftp_cpu;
    for (size_t i = 0; i < wall.size(); ++i) {
        ours.push_back(wall[i].ours);
        curl.push_back(wall[i].curl);
        lftp.push_back(wall[i].lftp);
        ratio.push_back(std::min(wall[i].curl, wall[i].lftp) / wall[i].ours);
        ours_cpu.push_back(cpu[i].ours);
        curl_cpu.push_back(cpu[i].curl);
        lftp_cpu.push_back(cpu[i].lftp);
    }
    double mib = bytes / (1024.0 * 1024.0);
    outputf(kLevelInfo,
            "%-9s medians of %zu rounds: ours %.2f s (%.0f MiB/s) | curl %.2f s | lftp %.2f s | ours/faster "
            "%.2f [%.2f-%.2f] | client CPU ours %.2f s, curl %.2f s, lftp %.2f s",
            what, wall.size(), median(ours), mib / median(ours), median(curl), median(lftp), median(ratio),
            *std::min_element(ratio.begin(), ratio.end()), *std::max_element(ratio.begin(), ratio.end()),
            median(ours_cpu), median(curl_cpu), median(lftp_cpu));
}

}  // namespace

int main(int argc, char** argv) {
    install_standard_output();
    size_t mib = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 1024;
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    size_t block_kib = argc > 3 ? static_cast<size_t>(std::atoi(argv[3])) : 0;

    const bool apart = keep_clients_apart();
    test::FtpServer server;
    test::FtpServerOptions options;
    options.tls = true;
    if (server.start(test::FtpServerKind::kVsftpd, options) != 0) {
        outputf(kLevelError, "vsftpd did not start: %s", server.error().c_str());
        return 1;
    }
    if (apart) place_server_apart(server.pid());
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
    outputf(kLevelInfo, "vsftpd FTPS on loopback, AUTH TLS, PROT P, passive, binary; %zu MiB file; %s", mib,
            apart ? "server and clients on CPUs of their own" : "server and clients share the CPUs");
    std::vector<ToolTimes> down, up, down_cpu, up_cpu;
    bool ok = true;
    for (int round = 0; round < rounds; ++round) {
        LargeFileTimes t =
            time_large_file(h, server, local, mib, {"-s", "-S", "--ssl-reqd", "-k"},
                            "set net:max-retries 1; set ftp:passive-mode on; set ftp:ssl-force true; set "
                            "ftp:ssl-protect-data true; set ssl:verify-certificate no; ",
                            round);
        ok = ok && t.ok;
        outputf(kLevelInfo, "round %d (%s first)", round + 1,
                round % 3 == 0   ? "ours"
                : round % 3 == 1 ? "curl"
                                 : "lftp");
        report3("download", bytes, t.down.ours, t.down.curl, t.down.lftp);
        report3("upload", bytes, t.up.ours, t.up.curl, t.up.lftp);
        down.push_back(t.down);
        up.push_back(t.up);
        down_cpu.push_back(t.down_cpu);
        up_cpu.push_back(t.up_cpu);
    }
    h.disconnect();
    summarize("download", bytes, down, down_cpu);
    summarize("upload", bytes, up, up_cpu);
    if (!ok) outputf(kLevelError, "a transfer did not complete");
    return ok ? 0 : 1;
}
