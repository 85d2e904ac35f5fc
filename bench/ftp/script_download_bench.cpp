// Many small files fetched one statement at a time: a script of `ftpdownload` statements run by
// orvaneftp against vsftpd, and lftp's mget of the same files in the same run.
// script_download_bench [files] [runs]
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/ftp/bench_common.h"
#include "client/frontend/output.h"

namespace {

using namespace orvane;
using bench::Clock;
using bench::seconds_since;
using bench::size_of;

// The files in `folder` that hold 4096 bytes.
int whole_files(const std::string& folder, int files) {
    int n = 0;
    for (int i = 0; i < files; ++i)
        if (size_of(folder + "/f" + std::to_string(i) + ".bin") == 4096) ++n;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    install_standard_output();
    int files = argc > 1 ? std::atoi(argv[1]) : 500;
    int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    test::FtpServer server;
    if (server.start(test::FtpServerKind::kVsftpd) != 0) {
        outputf(kLevelError, "vsftpd did not start: %s", server.error().c_str());
        return 1;
    }
    test::TempDir local;
    const std::string block = test::random_bytes(4096, 3);
    std::string script = "ftpconnect \"127.0.0.1\" " + std::to_string(server.port()) +
                         " \"anonymous\" \"bench\";\nftpsetpath remote \"/pub\";\n";
    for (int i = 0; i < files; ++i) {
        std::string name = "f" + std::to_string(i) + ".bin";
        test::write_all(server.local_home() + "/" + name, block);
        script += "ftpdownload file \"" + name + "\" \"ours/" + name + "\";\n";
    }
    script += "ftpdisconnect;\n";
    test::write_all(local.file("bench.fscr"), script);
    const std::string lftp_command = "open -u anonymous,bench -p " + std::to_string(server.port()) +
                                     " 127.0.0.1; cd /pub; lcd " + local.file("lftp") + "; mget f*.bin";

    std::vector<double> ratios;
    for (int run = 0; run < runs; ++run) {
        std::filesystem::remove_all(local.file("ours"));
        std::filesystem::remove_all(local.file("lftp"));
        std::filesystem::create_directory(local.file("ours"));
        std::filesystem::create_directory(local.file("lftp"));
        auto start = Clock::now();
        auto ours = test::run_process(test::client_binary(), {"-script", local.file("bench.fscr")}, {}, false,
                                      std::chrono::minutes(10), {}, local.path());
        double ours_s = seconds_since(start);
        start = Clock::now();
        auto peer =
            test::run_process("/usr/bin/lftp", {"-c", lftp_command}, {}, false, std::chrono::minutes(10));
        double lftp_s = seconds_since(start);
        int ours_ok = whole_files(local.file("ours"), files),
            lftp_ok = whole_files(local.file("lftp"), files);
        if (ours.exit_code != 0 || ours_ok != files || peer.exit_code != 0 || lftp_ok != files)
            outputf(kLevelError, "run %d: ours exit %d (%d files), lftp exit %d (%d files)", run,
                    ours.exit_code, ours_ok, peer.exit_code, lftp_ok);
        double ours_rate = files / ours_s, lftp_rate = files / lftp_s;
        ratios.push_back(ours_rate / lftp_rate);
        outputf(kLevelInfo,
                "run %d: %d files of 4 KiB: script %.1f files/s (%.2f s) | lftp mget %.1f files/s (%.2f s) | "
                "ratio %.2f",
                run, files, ours_rate, ours_s, lftp_rate, lftp_s, ours_rate / lftp_rate);
    }
    std::sort(ratios.begin(), ratios.end());
    outputf(kLevelInfo, "median ratio script/lftp: %.2f", ratios[ratios.size() / 2]);
    return 0;
}
