// Folder trees against vsftpd on loopback: 2,000 files of 4 KiB in 20 folders downloaded and uploaded
// as one tree by a Transfer list, versus lftp's mirror and mirror -R in the same run.
// ftp_tree_bench [files] [folders]
#include <cstdlib>
#include <filesystem>
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
    TransferPair p;
    p.direction = direction;
    p.local.full_path = local;
    p.remote.full_path = remote;
    p.local.type = p.remote.type = kEntryFolder;
    DuplicateRules rules;
    return h.run([&](DoneCallback d, int c,
                     void* o) { return request_transfer_list(h.s(), {p}, rules, rules, d, c, o); },
                 std::chrono::minutes(10));
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

    test::FtpServer server;
    if (server.start(test::FtpServerKind::kVsftpd) != 0) {
        outputf(kLevelError, "vsftpd did not start: %s", server.error().c_str());
        return 1;
    }
    test::TempDir local;
    test::FtpSessionHarness h;
    h.s().log_enabled = 0;
    if (h.connect(server.port(), server.user(), server.password()) != 0) {
        outputf(kLevelError, "login failed");
        return 1;
    }
    const std::string login = "set net:max-retries 1; open -u " + server.user() + "," + server.password() +
                              " -p " + std::to_string(server.port()) + " 127.0.0.1; ";
    make_tree(server.local_home() + "/src", files, folders);

    auto start = Clock::now();
    bool ok = tree(h, 1, local.file("ours-down"), "/pub/src") == 0;
    double ours_down = seconds_since(start);
    double lftp_down = run_lftp(login + "mirror /pub/src " + local.file("lftp-down"));
    ok = ok && count_files(local.file("ours-down")) == static_cast<size_t>(files) &&
         count_files(local.file("lftp-down")) == static_cast<size_t>(files);

    start = Clock::now();
    ok = tree(h, 0, local.file("ours-down"), "/pub/ours-up") == 0 && ok;
    double ours_up = seconds_since(start);
    double lftp_up = run_lftp(login + "mirror -R " + local.file("lftp-down") + " /pub/lftp-up");
    ok = ok && count_files(server.local_home() + "/ours-up") == static_cast<size_t>(files) &&
         count_files(server.local_home() + "/lftp-up") == static_cast<size_t>(files);
    h.disconnect();

    outputf(kLevelInfo, "vsftpd on loopback, passive, binary; %d files of 4 KiB in %d folders", files,
            folders);
    report_rate("download", files, ours_down, lftp_down);
    report_rate("upload", files, ours_up, lftp_up);
    if (!ok) outputf(kLevelError, "a tree did not arrive whole");
    return ok ? 0 : 1;
}
