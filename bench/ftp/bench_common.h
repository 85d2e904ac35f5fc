// Pieces the FTP and FTPS benchmarks share: timing, test files, curl runs and the report line.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "client/frontend/output.h"
#include "tests/support/process.h"

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

inline void report(const char* what, double bytes, double ours, double curl) {
    double mib = bytes / (1024.0 * 1024.0);
    outputf(kLevelInfo,
            "%-9s ours %7.2f s %8.1f MiB/s | curl %7.2f s %8.1f MiB/s | ours/curl throughput %.2f", what,
            ours, mib / ours, curl, mib / curl, curl / ours);
}

}  // namespace orvane::bench
