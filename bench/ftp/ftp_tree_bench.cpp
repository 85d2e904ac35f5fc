// Folder trees against vsftpd or pyftpdlib, on loopback or through a delay relay: 2,000 files of 4 KiB
// in 20 folders downloaded and uploaded as one tree by a Transfer list, versus lftp's mirror and
// mirror -R in the same run.
// ftp_tree_bench [files] [folders] [rounds] [delay ms each way] [vsftpd|pyftpdlib]
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/ftp/bench_common.h"
#include "bench/ftp/ftp_delay_relay.h"
#include "client/frontend/output.h"
#include "tests/client/transfer/ftp/ftp_session_harness.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace orvane;
using namespace orvane::bench;
namespace fs = std::filesystem;

void make_tree(const std::string& root, int files, int folders) {
    std::string block(4096, 'b');
    for (int f = 0; f < folders; ++f) {
        std::string folder = root + "/folder" + std::to_string(f);
        fs::create_directories(folder);
        for (int i = f; i < files; i += folders) test::write_all(folder + "/file" + std::to_string(i), block);
    }
}

size_t count_files(const std::string& root) {
    size_t n = 0;
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(root, ec))
        if (e.is_regular_file()) ++n;
    return n;
}

int tree(test::FtpSessionHarness& h, int direction, const std::string& local, const std::string& remote) {
    return h.walk_folder(direction, local, remote, std::chrono::minutes(10));
}

struct Times {
    double ours_down, lftp_down, ours_up, lftp_up;
    double ours_down_cpu, lftp_down_cpu;  // CPU seconds of the download (user and system)
};

// The lowest and highest value: the spread of the rounds.
std::pair<double, double> spread(std::vector<double> v) {
    auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    return {*lo, *hi};
}

void report_rate(const char* what, int files, double ours, double lftp) {
    outputf(kLevelInfo, "%-9s ours %6.2f s %7.0f files/s | lftp %6.2f s %7.0f files/s | ours/lftp rate %.2f",
            what, ours, files / ours, lftp, files / lftp, lftp / ours);
}

}  // namespace

int main(int argc, char** argv) {
    install_standard_output();
    int files = argc > 1 ? std::atoi(argv[1]) : 2000;
    int folders = argc > 2 ? std::atoi(argv[2]) : 20;
    int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    int delay_ms = argc > 4 ? std::max(0, std::atoi(argv[4])) : 0;
    bool pyftpdlib = argc > 5 && std::string(argv[5]) == "pyftpdlib";
    const char* server_name = pyftpdlib ? "pyftpdlib" : "vsftpd";

    test::FtpServer server;
    if (server.start(pyftpdlib ? test::FtpServerKind::kPyftpdlib : test::FtpServerKind::kVsftpd) != 0) {
        outputf(kLevelError, "%s did not start: %s", server_name, server.error().c_str());
        return 1;
    }
    // Both tools reach the server through the same relay: control and data connections alike.
    std::unique_ptr<FtpDelayRelay> relay;
    int port = server.port();
    if (delay_ms > 0) {
        relay =
            std::make_unique<FtpDelayRelay>(static_cast<uint16_t>(port), std::chrono::milliseconds(delay_ms));
        std::string cause;
        if (relay->start(cause) != 0) {
            outputf(kLevelError, "the relay did not start: %s", cause.c_str());
            return 1;
        }
        port = relay->port();
    }
    test::TempDir local;
    test::FtpSessionHarness h;
    h.s().log_enabled = 0;
    if (h.connect(port, server.user(), server.password()) != 0) {
        outputf(kLevelError, "login failed");
        return 1;
    }
    const std::string login = "set net:max-retries 1; open -u " + server.user() + "," + server.password() +
                              " -p " + std::to_string(port) + " 127.0.0.1; ";
    make_tree(server.local_home() + "/src", files, folders);
    auto whole = [&](const std::string& root) { return count_files(root) == static_cast<size_t>(files); };

    // The tools take turns going first: the machine's load drifts within a run.
    bool ok = true;
    std::vector<Times> runs;
    for (int r = 0; r < rounds; ++r) {
        const std::string n = std::to_string(r);
        const std::string ours_local = local.file("ours-down" + n), lftp_local = local.file("lftp-down" + n);
        Times t{};
        // Our CPU is this process's (the server is another); lftp's is that of the reaped child.
        auto ours_down = [&] {
            auto start = Clock::now();
            double cpu = cpu_seconds(RUSAGE_SELF);
            ok = tree(h, 1, ours_local, "/pub/src") == 0 && ok;
            t.ours_down = seconds_since(start);
            t.ours_down_cpu = cpu_seconds(RUSAGE_SELF) - cpu;
        };
        auto lftp_down = [&] {
            double cpu = cpu_seconds(RUSAGE_CHILDREN);
            t.lftp_down = run_lftp(login + "mirror /pub/src " + lftp_local);
            t.lftp_down_cpu = cpu_seconds(RUSAGE_CHILDREN) - cpu;
        };
        auto ours_up = [&] {
            auto start = Clock::now();
            ok = tree(h, 0, ours_local, "/pub/ours-up" + n) == 0 && ok;
            t.ours_up = seconds_since(start);
        };
        auto lftp_up = [&] { t.lftp_up = run_lftp(login + "mirror -R " + lftp_local + " /pub/lftp-up" + n); };
        if (r % 2 == 0) {
            ours_down();
            lftp_down();
        } else {
            lftp_down();
            ours_down();
        }
        ok = ok && whole(ours_local) && whole(lftp_local);
        if (r % 2 == 0) {
            ours_up();
            lftp_up();
        } else {
            lftp_up();
            ours_up();
        }
        ok = ok && whole(server.local_home() + "/ours-up" + n) && whole(server.local_home() + "/lftp-up" + n);
        outputf(kLevelInfo, "round %d: download ours/lftp %.2f, upload ours/lftp %.2f", r + 1,
                t.lftp_down / t.ours_down, t.lftp_up / t.ours_up);
        runs.push_back(t);
    }
    h.disconnect();

    auto pick = [&](double Times::*field) {
        std::vector<double> v;
        for (const Times& t : runs) v.push_back(t.*field);
        return v;
    };
    auto ratios = [&](double Times::*ours, double Times::*lftp) {
        std::vector<double> v;
        for (const Times& t : runs) v.push_back(t.*lftp / t.*ours);
        return median(v);
    };
    outputf(
        kLevelInfo,
        "%s, %d ms added each way, passive, binary; %d files of 4 KiB in %d folders; medians of %d rounds",
        server_name, delay_ms, files, folders, rounds);
    report_rate("download", files, median(pick(&Times::ours_down)), median(pick(&Times::lftp_down)));
    report_rate("upload", files, median(pick(&Times::ours_up)), median(pick(&Times::lftp_up)));
    outputf(kLevelInfo, "download CPU per file: ours %.0f us, lftp %.0f us (medians)",
            median(pick(&Times::ours_down_cpu)) * 1e6 / files,
            median(pick(&Times::lftp_down_cpu)) * 1e6 / files);
    outputf(kLevelInfo, "median of the rounds' ratios: download %.2f, upload %.2f",
            ratios(&Times::ours_down, &Times::lftp_down), ratios(&Times::ours_up, &Times::lftp_up));
    auto round_ratios = [&](double Times::*ours, double Times::*lftp) {
        std::vector<double> v;
        for (const Times& t : runs) v.push_back(t.*lftp / t.*ours);
        return spread(v);
    };
    auto [down_lo, down_hi] = round_ratios(&Times::ours_down, &Times::lftp_down);
    auto [up_lo, up_hi] = round_ratios(&Times::ours_up, &Times::lftp_up);
    outputf(kLevelInfo, "spread of the rounds' ratios: download %.2f-%.2f, upload %.2f-%.2f", down_lo,
            down_hi, up_lo, up_hi);
    if (!ok) outputf(kLevelError, "a tree did not arrive whole");
    return ok ? 0 : 1;
}
