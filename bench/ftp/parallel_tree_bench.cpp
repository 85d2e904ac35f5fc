// Folder trees over a long link: 100 files of 4 KiB in 4 folders down and up through a relay that
// delays the control and the data connections 25 ms each way, our script with 4 sessions (and with
// one) against lftp mirror with its defaults and with --parallel=4, in the same run.
// parallel_tree_bench [files] [rounds]
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/ftp/bench_common.h"
#include "bench/ftp/ftp_delay_relay.h"
#include "client/frontend/output.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace orvane;
using namespace orvane::bench;
namespace fs = std::filesystem;

constexpr std::chrono::milliseconds kOneWayDelay{25};
constexpr int kFolders = 4;

enum Tool { kOurs4, kOurs1, kLftp, kLftp4, kToolCount };
constexpr const char* kToolNames[] = {"ours -parallel 4", "ours (one session)", "lftp mirror",
                                      "lftp mirror --parallel=4"};

void make_tree(const std::string& root, int files) {
    for (int i = 0; i < files; ++i) {
        std::string folder = root + "/folder" + std::to_string(i % kFolders);
        fs::create_directories(folder);
        test::write_all(folder + "/file" + std::to_string(i),
                        test::random_bytes(4096, static_cast<uint32_t>(i)));
    }
}

// Every file of `original` at its place in `copy` with its bytes.
bool same_tree(const std::string& original, const std::string& copy) {
    size_t n = 0;
    for (const auto& e : fs::recursive_directory_iterator(original)) {
        if (!e.is_regular_file()) continue;
        ++n;
        std::string there = copy + "/" + fs::relative(e.path(), original).string();
        if (!fs::exists(there) || test::read_all(there) != test::read_all(e.path().string())) return false;
    }
    return n > 0;
}

struct Setup {
    const test::FtpServer& server;
    uint16_t port;  // the relay's
    std::string scratch;
};

double run_ours(const Setup& s, int sessions, bool down, const std::string& from, const std::string& to) {
    std::string script = "ftpconnect \"127.0.0.1\" " + std::to_string(s.port) + " \"" + s.server.user() +
                         "\" \"" + s.server.password() + "\";\n" + (down ? "ftpdownload" : "ftpupload") +
                         " folder \"" + from + "\" \"" + to + "\";\nftpdisconnect;\n";
    auto start = Clock::now();
    auto r = test::run_script_in(s.scratch, script, {"-q", "-parallel", std::to_string(sessions)}, {},
                                 std::chrono::minutes(10));
    double t = seconds_since(start);
    if (r.exit_code != 0) outputf(kLevelError, "ours failed (%d): %s", r.exit_code, r.output.c_str());
    return t;
}

double run_tool(Tool tool, const Setup& s, bool down, const std::string& from, const std::string& to) {
    if (tool == kOurs4 || tool == kOurs1) return run_ours(s, tool == kOurs4 ? 4 : 1, down, from, to);
    std::string login = "set net:max-retries 1; open -u " + s.server.user() + "," + s.server.password() +
                        " -p " + std::to_string(s.port) + " 127.0.0.1; ";
    std::string mirror =
        std::string("mirror ") + (down ? "" : "-R ") + (tool == kLftp4 ? "--parallel=4 " : "");
    return run_lftp(login + mirror + from + " " + to);
}

}  // namespace

int main(int argc, char** argv) {
    install_standard_output();
    int files = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    test::FtpServer server;
    if (server.start(test::FtpServerKind::kVsftpd) != 0) {
        outputf(kLevelError, "vsftpd did not start: %s", server.error().c_str());
        return 1;
    }
    FtpDelayRelay relay(static_cast<uint16_t>(server.port()), kOneWayDelay);
    std::string cause;
    if (relay.start(cause) != 0) {
        outputf(kLevelError, "relay: %s", cause.c_str());
        return 1;
    }
    test::TempDir local;
    const std::string source = server.local_home() + "/src";
    make_tree(source, files);
    Setup setup{server, relay.port(), local.path()};

    bool ok = true;
    std::vector<double> times[2][kToolCount];
    for (int r = 0; r < rounds; ++r) {
        // The tools take turns going first: the machine's load drifts within a run.
        for (int k = 0; k < kToolCount; ++k) {
            auto tool = static_cast<Tool>((k + r) % kToolCount);
            std::string tag = std::to_string(tool) + "-" + std::to_string(r);
            std::string down_to = local.file("down" + tag), up_to = "/pub/up" + tag;
            int before = relay.data_connections();
            times[0][tool].push_back(run_tool(tool, setup, true, "/pub/src", down_to));
            times[1][tool].push_back(run_tool(tool, setup, false, down_to, up_to));
            bool whole = same_tree(source, down_to) && same_tree(source, server.local_home() + "/up" + tag);
            if (!whole || relay.data_connections() - before < 2 * files) {
                outputf(kLevelError, "%s: %s", kToolNames[tool],
                        whole ? "the data did not go through the relay" : "a tree did not arrive whole");
                ok = false;
            }
        }
    }
    outputf(kLevelInfo,
            "vsftpd through a relay adding %lld ms each way (control and data); %d files of 4 KiB "
            "in %d folders; %d rounds",
            static_cast<long long>(kOneWayDelay.count()), files, kFolders, rounds);
    for (int d = 0; d < 2; ++d) {
        for (int t = 0; t < kToolCount; ++t) {
            const auto& v = times[d][t];
            outputf(kLevelInfo,
                    "%-4s %-26s median %6.2f s [%.2f-%.2f]  lftp-default/this %.2f  lftp-4/this %.2f",
                    d == 0 ? "down" : "up", kToolNames[t], median(v), *std::min_element(v.begin(), v.end()),
                    *std::max_element(v.begin(), v.end()), median(times[d][kLftp]) / median(v),
                    median(times[d][kLftp4]) / median(v));
        }
    }
    return ok ? 0 : 1;
}
