// SFTP throughput of our engine against OpenSSH's sftp client, both speaking to the same
// sftp-server over pipes (no SSH, so the figures compare the SFTP layers alone): one large file
// down and up, and a tree of small files down.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "client/ssh/sftp/sftp_client.h"
#include "common/log.h"
#include "tests/client/ssh/sftp/sftp_pipe.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using orvane::sftp::Client;
using orvane::sftp::Transfer;
using orvane::test::SftpServerProcess;
namespace fs = std::filesystem;

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// OpenSSH's sftp with a batch of commands, its server started directly (-D); seconds, or -1.
double openssh(const std::string& batch_path, const std::string& batch) {
    orvane::test::write_all(batch_path, batch);
    auto t0 = std::chrono::steady_clock::now();
    auto r = orvane::test::run_process("/usr/bin/sftp",
                                       {"-q", "-D", orvane::test::sftp_server_binary(), "-b", batch_path}, {},
                                       false, std::chrono::seconds(600));
    double s = seconds_since(t0);
    if (r.exit_code != 0) {
        std::fprintf(stderr, "sftp failed: %s\n", r.output.c_str());
        return -1;
    }
    return s;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool same(const std::string& a, const std::string& b) {
    return std::system(("cmp -s '" + a + "' '" + b + "'").c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    int files = argc > 2 ? std::atoi(argv[2]) : 2000;
    int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    if (orvane::test::sftp_server_binary().empty()) {
        std::fprintf(stderr, "sftp-server is not installed\n");
        return 1;
    }
    orvane::test::TempDir dir;
    std::string remote = dir.file("remote"), local = dir.file("local");
    fs::create_directories(remote + "/tree");
    fs::create_directories(local + "/tree");
    fs::create_directories(local + "/tree-openssh");
    {
        std::string block = orvane::test::random_bytes(1 << 20, 9);
        FILE* f = std::fopen((remote + "/big").c_str(), "wb");
        for (size_t i = 0; i < mib; ++i) std::fwrite(block.data(), 1, block.size(), f);
        std::fclose(f);
        std::string small = orvane::test::random_bytes(4096, 4);
        for (int i = 0; i < files; ++i)
            orvane::test::write_all(remote + "/tree/f" + std::to_string(i), small);
    }

    SftpServerProcess server(remote);
    // The engine's messages go where the bench's own do.
    Client c([](void*, const char* text, int level, int) { orvane::output(text, level); }, nullptr);
    if (server.run(c, c.start() == 0 ? 20000 : 0) != 0) return 1;
    std::string batch = dir.file("batch");
    // Rounds alternate between the two clients so that neither meets the page cache's write-back
    // of the other's files alone; medians are reported.
    std::vector<double> our_down, our_up, our_tree, ssh_down, ssh_up, ssh_tree;
    for (int round = 0; round < rounds; ++round) {
        std::system("sync");
        Transfer t;
        t.remote_path = remote + "/big";
        t.local_path = local + "/big";
        auto t0 = std::chrono::steady_clock::now();
        if (server.run(c, c.download(t) == 0 ? 20000 : 0) != 0) return 1;
        our_down.push_back(seconds_since(t0));
        ssh_down.push_back(openssh(batch, "get " + remote + "/big " + local + "/big-openssh\n"));
        t.remote_path = remote + "/up";
        t0 = std::chrono::steady_clock::now();
        if (server.run(c, c.upload(t) == 0 ? 20000 : 0) != 0) return 1;
        our_up.push_back(seconds_since(t0));
        ssh_up.push_back(openssh(batch, "put " + local + "/big " + remote + "/up-openssh\n"));
        if (!same(remote + "/big", local + "/big") || !same(remote + "/big", remote + "/up")) return 1;

        t0 = std::chrono::steady_clock::now();
        c.change_directory(remote + "/tree");
        server.run(c);
        c.list();
        server.run(c);
        for (const auto& e : c.listing()) {
            Transfer one;
            one.remote_path = remote + "/tree/" + e.name;
            one.local_path = local + "/tree/" + e.name;
            if (server.run(c, c.download(one) == 0 ? 20000 : 0) != 0) return 1;
        }
        our_tree.push_back(seconds_since(t0));
        ssh_tree.push_back(openssh(batch, "get -r " + remote + "/tree/ " + local + "/tree-openssh\n"));
        if (ssh_down.back() < 0 || ssh_up.back() < 0 || ssh_tree.back() < 0) return 1;
    }
    double od = median(our_down), ou = median(our_up), ot = median(our_tree);
    double sd = median(ssh_down), su = median(ssh_up), st = median(ssh_tree);

    double mb = static_cast<double>(mib) * 1048576.0 / 1e6;
    std::printf("%-28s %10s %10s %8s\n", "", "ours", "openssh", "ratio");
    std::printf("%-28s %7.1f MB/s %7.1f MB/s %8.2f\n", "download", mb / od, mb / sd, sd / od);
    std::printf("%-28s %7.1f MB/s %7.1f MB/s %8.2f\n", "upload", mb / ou, mb / su, su / ou);
    std::printf("%-28s %7.0f f/s  %7.0f f/s  %8.2f\n", "tree of 4 KiB files (down)", files / ot, files / st,
                st / ot);
    return 0;
}
