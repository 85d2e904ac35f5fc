// Pieces the FTP and FTPS benchmarks share: timing, test files, curl runs and the report line.
#pragma once

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
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

// Puts the calling thread (and every thread and tool it starts afterwards) on the last CPU, so that a
// server started next can be given the others: client and server then do not compete for a CPU, as
// on two machines. A server of two processes that hand every record to each other (vsftpd with TLS)
// otherwise runs at whatever speed the scheduler's placement of the pair next to the client allows,
// which varied twofold from run to run on two CPUs and swamped the clients' own differences.
// ORVANE_BENCH_SHARED_CPUS=1 leaves every process free to run anywhere. False when not placed.
inline bool keep_clients_apart() {
    const char* shared = std::getenv("ORVANE_BENCH_SHARED_CPUS");
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    if ((shared != nullptr && *shared == '1') || cpus < 2) return false;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<int>(cpus - 1), &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

// Gives the server (and the processes it starts afterwards) every CPU but the clients' one.
inline void place_server_apart(pid_t server) {
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    cpu_set_t set;
    CPU_ZERO(&set);
    for (long i = 0; i + 1 < cpus; ++i) CPU_SET(static_cast<int>(i), &set);
    if (sched_setaffinity(server, sizeof set, &set) != 0)
        outputf(kLevelWarning, "could not place the server apart from the clients");
}

// The median of the values (0 for none).
inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n == 0 ? 0 : (n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2);
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

// Wall and CPU seconds of one transfer by each tool; for ours the CPU is this process's (nothing
// else runs in it meanwhile), for curl and lftp the child's user and system time.
struct ToolTimes {
    double ours = 0, curl = 0, lftp = 0;  // lftp 0: not run
};

struct LargeFileTimes {
    ToolTimes down, up, down_cpu, up_cpu;
    bool ok = false;  // every transfer brought the whole file
};

// Writes every dirty page out before a timed transfer: a gigabyte just written (the test file, or
// the last tool's copy) would otherwise be flushed during the next transfer, and the kernel throttles
// the server's writes while it catches up. Without this the tool that runs right after make_file()
// pays for the other's writes.
inline void settle_disk() {
    ::sync();
}

inline double cpu_seconds(int who) {
    rusage u{};
    getrusage(who, &u);
    auto sec = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return sec(u.ru_utime) + sec(u.ru_stime);
}

// Runs one timed transfer after settling the disk: its wall seconds into `wall`, the CPU seconds of
// this process (`who` RUSAGE_SELF) or of the tool it waited for (RUSAGE_CHILDREN) into `cpu`.
template <typename F>
void timed(int who, double& wall, double& cpu, F&& transfer) {
    settle_disk();
    double cpu_before = cpu_seconds(who);
    auto start = Clock::now();
    transfer();
    wall = seconds_since(start);
    cpu = cpu_seconds(who) - cpu_before;
}

// One file of `mib` MiB downloaded and then uploaded, by our session (logged in, in /pub), by curl
// with `curl_options` in front of its own and, when `lftp_settings` is not empty, by lftp with those
// "set" commands before it opens the server. The server's file is written first, so every reader
// finds it in the page cache. `first` picks the tool that goes first in each direction (0 ours,
// 1 curl, 2 lftp, then in that circle): on a shared machine the order matters, so runs rotate it.
inline LargeFileTimes time_large_file(test::FtpSessionHarness& h, const test::FtpServer& server,
                                      const test::TempDir& local, size_t mib,
                                      const std::vector<std::string>& curl_options,
                                      const std::string& lftp_settings = {}, int first = 0) {
    LargeFileTimes t;
    t.ok = true;
    const std::string url = server.url("/pub/");
    const auto expected = static_cast<int64_t>(mib) * 1024 * 1024;
    auto curl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), curl_options.begin(), curl_options.end());
        run_curl(args);
    };
    const std::string lftp_open = lftp_settings + "open -u " + server.user() + "," + server.password() +
                                  " -p " + std::to_string(server.port()) + " 127.0.0.1; ";
    auto arrived = [&](const std::string& path) {
        t.ok = t.ok && size_of(path) == expected;
        std::filesystem::remove(path);
    };
    const int tools = lftp_settings.empty() ? 2 : 3;

    const std::string remote_big = server.local_home() + "/big.bin";
    make_file(remote_big, mib);
    for (int i = 0; i < tools; ++i) {
        switch ((first + i) % tools) {
            case 0:
                timed(RUSAGE_SELF, t.down.ours, t.down_cpu.ours,
                      [&] { t.ok = t.ok && h.download("big.bin", local.file("ours.bin")) == 0; });
                arrived(local.file("ours.bin"));
                break;
            case 1:
                timed(RUSAGE_CHILDREN, t.down.curl, t.down_cpu.curl, [&] {
                    curl({"-o", local.file("curl.bin"), url + "big.bin"});
                });
                arrived(local.file("curl.bin"));
                break;
            default:
                timed(RUSAGE_CHILDREN, t.down.lftp, t.down_cpu.lftp,
                      [&] { run_lftp(lftp_open + "get /pub/big.bin -o " + local.file("lftp.bin")); });
                arrived(local.file("lftp.bin"));
        }
    }
    std::filesystem::remove(remote_big);

    const std::string source = local.file("up.bin");
    make_file(source, mib);
    for (int i = 0; i < tools; ++i) {
        switch ((first + i) % tools) {
            case 0:
                timed(RUSAGE_SELF, t.up.ours, t.up_cpu.ours,
                      [&] { t.ok = t.ok && h.upload(source, "ours_up.bin") == 0; });
                arrived(server.local_home() + "/ours_up.bin");
                break;
            case 1:
                timed(RUSAGE_CHILDREN, t.up.curl, t.up_cpu.curl, [&] {
                    curl({"-T", source, url + "curl_up.bin"});
                });
                arrived(server.local_home() + "/curl_up.bin");
                break;
            default:
                timed(RUSAGE_CHILDREN, t.up.lftp, t.up_cpu.lftp,
                      [&] { run_lftp(lftp_open + "put " + source + " -o /pub/lftp_up.bin"); });
                arrived(server.local_home() + "/lftp_up.bin");
        }
    }
    std::filesystem::remove(source);
    return t;
}

}  // namespace orvane::bench
