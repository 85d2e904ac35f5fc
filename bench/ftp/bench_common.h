// Pieces the FTP and FTPS benchmarks share: timing, test files, curl runs and the report line.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "client/transfer/net/connection.h"
#include "common/log.h"
#include "tests/client/transfer/ftp/ftp_session_harness.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane::bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A file of `mib` MiB: one random MiB repeated (the bytes do not matter, only that they are not
// all zero, and TLS encrypts every byte alike).
inline void make_file(const std::string& path, size_t mib) {
    std::mt19937 gen(7);
    std::string block(1 << 20, '\0');
    for (auto& ch : block) ch = static_cast<char>(gen());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (size_t i = 0; i < mib; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
}

inline int64_t size_of(const std::string& path) {
    std::error_code ec;
    auto n = std::filesystem::file_size(path, ec);
    return ec ? -1 : static_cast<int64_t>(n);
}

// Runs curl with the arguments; the seconds it took (a failure is reported).
inline double run_curl(const std::vector<std::string>& args) {
    auto start = Clock::now();
    test::ProcessResult r = test::run_process("/usr/bin/curl", args, {}, false, std::chrono::minutes(10));
    double t = seconds_since(start);
    if (r.exit_code != 0) outputf(kLevelError, "curl failed (%d): %s", r.exit_code, r.output.c_str());
    return t;
}

// Runs lftp with the commands (settings, open, one transfer); the seconds it took.
inline double run_lftp(const std::string& commands) {
    auto start = Clock::now();
    test::ProcessResult r =
        test::run_process("/usr/bin/lftp", {"-c", commands}, {}, false, std::chrono::minutes(10));
    double t = seconds_since(start);
    if (r.exit_code != 0) outputf(kLevelError, "lftp failed (%d): %s", r.exit_code, r.output.c_str());
    return t;
}

inline void report(const char* what, double bytes, double ours, double curl) {
    double mib = bytes / (1024.0 * 1024.0);
    outputf(kLevelInfo,
            "%-9s ours %7.2f s %8.1f MiB/s | curl %7.2f s %8.1f MiB/s | ours/curl throughput %.2f", what,
            ours, mib / ours, curl, mib / curl, curl / ours);
}

// Ours against both peers; the last ratio is against the faster of the two.
inline void report3(const char* what, double bytes, double ours, double curl, double lftp) {
    double mib = bytes / (1024.0 * 1024.0);
    outputf(kLevelInfo,
            "%-9s ours %6.2f s %7.1f MiB/s | curl %6.2f s %7.1f MiB/s | lftp %6.2f s %7.1f MiB/s | "
            "ours/curl %.2f ours/lftp %.2f ours/faster %.2f",
            what, ours, mib / ours, curl, mib / curl, lftp, mib / lftp, curl / ours, lftp / ours,
            std::min(curl, lftp) / ours);
}

struct LargeFileTimes {
    double ours_down = 0, curl_down = 0, ours_up = 0, curl_up = 0;
    double lftp_down = 0, lftp_up = 0;  // 0: lftp not run
    bool ok = false;                    // every transfer brought the whole file
};

// Writes every dirty page out before a timed transfer: a gigabyte just written (the test file, or
// the last tool's copy) would otherwise be flushed during the next transfer, and the kernel throttles
// the server's writes while it catches up. Without this the tool that runs right after make_file()
// (always ours) pays for the other's writes.
inline void settle_disk() {
    ::sync();
}

// One file of `mib` MiB downloaded and then uploaded, by our session (logged in, in /pub) and by
// curl with `curl_options` in front of its own. The server's file is written first, so both
// readers find it in the page cache; the disk is settled before each timed transfer.
// lftp, when `lftp_settings` is not empty, gets those "set" commands before it opens the server.
inline LargeFileTimes time_large_file(test::FtpSessionHarness& h, const test::FtpServer& server,
                                      const test::TempDir& local, size_t mib,
                                      const std::vector<std::string>& curl_options,
                                      const std::string& lftp_settings = {}) {
    LargeFileTimes t;
    const std::string url = server.url("/pub/");
    const auto expected = static_cast<int64_t>(mib) * 1024 * 1024;
    auto curl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), curl_options.begin(), curl_options.end());
        return run_curl(args);
    };
    const std::string remote_big = server.local_home() + "/big.bin";
    make_file(remote_big, mib);
    settle_disk();
    auto start = Clock::now();
    int r = h.download("big.bin", local.file("ours.bin"));
    t.ours_down = seconds_since(start);
    t.ok = r == 0 && size_of(local.file("ours.bin")) == expected;
    std::filesystem::remove(local.file("ours.bin"));
    settle_disk();
    t.curl_down = curl({"-o", local.file("curl.bin"), url + "big.bin"});
    t.ok = t.ok && size_of(local.file("curl.bin")) == expected;
    std::filesystem::remove(local.file("curl.bin"));
    const std::string lftp_open = lftp_settings + "open -u " + server.user() + "," + server.password() +
                                  " -p " + std::to_string(server.port()) + " 127.0.0.1; ";
    if (!lftp_settings.empty()) {
        settle_disk();
        t.lftp_down = run_lftp(lftp_open + "get /pub/big.bin -o " + local.file("lftp.bin"));
        t.ok = t.ok && size_of(local.file("lftp.bin")) == expected;
        std::filesystem::remove(local.file("lftp.bin"));
    }
    std::filesystem::remove(remote_big);

    make_file(local.file("up.bin"), mib);
    settle_disk();
    start = Clock::now();
    r = h.upload(local.file("up.bin"), "ours_up.bin");
    t.ours_up = seconds_since(start);
    t.ok = t.ok && r == 0 && size_of(server.local_home() + "/ours_up.bin") == expected;
    std::filesystem::remove(server.local_home() + "/ours_up.bin");
    settle_disk();
    t.curl_up = curl({"-T", local.file("up.bin"), url + "curl_up.bin"});
    t.ok = t.ok && size_of(server.local_home() + "/curl_up.bin") == expected;
    std::filesystem::remove(server.local_home() + "/curl_up.bin");
    if (!lftp_settings.empty()) {
        settle_disk();
        t.lftp_up = run_lftp(lftp_open + "put " + local.file("up.bin") + " -o /pub/lftp_up.bin");
        t.ok = t.ok && size_of(server.local_home() + "/lftp_up.bin") == expected;
        std::filesystem::remove(server.local_home() + "/lftp_up.bin");
    }
    std::filesystem::remove(local.file("up.bin"));
    return t;
}

}  // namespace orvane::bench
