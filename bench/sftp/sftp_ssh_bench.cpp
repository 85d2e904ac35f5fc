// SFTP over real SSH: our client (orvaneftp -script) against OpenSSH's sftp, both logging in by key to
// the same sshd on 127.0.0.1, on large files (with aes128-ctr + hmac-sha1 and with stock algorithms),
// trees of small files, and the same through a relay that adds 50 ms to every round trip.
// Environment: ORVANE_BENCH_MB (large file, default 1024), ORVANE_BENCH_ROUNDS (default 3),
// ORVANE_BENCH_FILES (tree, default 2000; a tenth of it through the relay).
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/sftp/delay_relay.h"
#include "bench/sftp/ssh_bench_runs.h"
#include "tests/client/ssh/sftp/sftp_pipe.h"
#include "tests/client/ssh/ssh_test_keys.h"
#include "tests/support/process.h"
#include "tests/support/sshd_server.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace orvane;
using namespace orvane::bench;
namespace fs = std::filesystem;

constexpr int kTreeFolders = 20;
constexpr size_t kWanMib = 64;
constexpr std::chrono::milliseconds kOneWayDelay{25};

long env_number(const char* name, long fallback) {
    const char* text = std::getenv(name);
    char* end = nullptr;
    long value = text != nullptr ? std::strtol(text, &end, 10) : 0;
    return text != nullptr && *text != '\0' && *end == '\0' && value > 0 ? value : fallback;
}

// Every MiB is random and carries its own number, so a piece written at the wrong offset shows.
void make_file(const std::string& path, size_t mib) {
    std::string block = test::random_bytes(1 << 20, 11);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (size_t i = 0; i < mib; ++i) {
        std::memcpy(block.data(), &i, sizeof i);
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
}

// `files` different files of 4 KiB spread over kTreeFolders folders.
void make_tree(const std::string& root, int files) {
    for (int i = 0; i < files; ++i) {
        std::string folder = root + "/d" + std::to_string(i % kTreeFolders);
        fs::create_directories(folder);
        test::write_all(folder + "/f" + std::to_string(i),
                        test::random_bytes(4096, static_cast<unsigned>(i)));
    }
}

std::string login_name() {
    const passwd* pw = getpwuid(geteuid());
    return pw != nullptr ? pw->pw_name : "root";
}

std::vector<std::string> sshd_config(const std::string& authorized_keys, bool weak_ciphers) {
    std::vector<std::string> lines = {"AuthorizedKeysFile " + authorized_keys, "PasswordAuthentication no",
                                      "KbdInteractiveAuthentication no", "PermitRootLogin prohibit-password",
                                      "Subsystem sftp " + test::sftp_server_binary()};
    if (weak_ciphers) lines.insert(lines.end(), {"Ciphers aes128-ctr", "MACs hmac-sha1"});
    return lines;
}

// The algorithms of the last login in this part of sshd's log.
std::string negotiated(const std::string& log) {
    const std::string mark = "kex: server->client cipher: ";
    size_t at = log.rfind(mark);
    if (at == std::string::npos) return "?";
    std::string line = log.substr(at + mark.size(), log.find('\n', at) - at - mark.size());
    return line.substr(0, line.find(" [preauth]"));
}

struct Row {
    std::string label;
    std::vector<double> times[kToolCount];
    bool failed[kToolCount] = {};
};

class Bench {
  public:
    Bench(int rounds, std::string out) : rounds_(rounds), out_(std::move(out)) {}

    // `rounds` runs of every tool, each starting in turn; every result is checked and removed.
    void measure(const std::string& label, const Login& login, Work work, const std::string& from,
                 const test::SshdDaemon& sshd, const DelayRelay* via = nullptr) {
        Row row;
        row.label = label;
        for (int round = 0; round < rounds_; ++round) {
            std::printf("%s, round %d:", label.c_str(), round + 1);
            for (int k = 0; k < kToolCount; ++k) {
                int t = (round + k) % kToolCount;
                if (row.failed[t]) continue;
                std::string to = out_ + "/" + std::to_string(rows_.size()) + "-" + std::to_string(t), cause;
                fs::remove_all(to);
                size_t log_seen = sshd.log().size();
                int relayed = via != nullptr ? via->forwarded() : 0;
                double seconds = 0;
                sync();  // the previous run's writes are not this one's to pay
                int r = timed_run(kTools[t], login, work, from, to, seconds, cause);
                if (r == 0) r = same_content(from, to, cause);
                if (r == 0 && via != nullptr && via->forwarded() == relayed) {
                    cause = "the run did not go through the relay";
                    r = 1;
                }
                fs::remove_all(to);
                if (r != 0) {
                    std::printf(" %s FAILED;", tool_name(kTools[t]));
                    std::fprintf(stderr, "%s: %s\n", label.c_str(), cause.c_str());
                    row.failed[t] = true;
                    all_ok_ = false;
                    continue;
                }
                row.times[t].push_back(seconds);
                std::printf(" %s %.2f s", tool_name(kTools[t]), seconds);
                if (round == 0) std::printf(" (%s)", negotiated(sshd.log().substr(log_seen)).c_str());
                std::printf(";");
            }
            std::printf("\n");
            std::fflush(stdout);
        }
        rows_.push_back(std::move(row));
    }

    // Median [min-max] seconds per tool and the time ratios, one line per row.
    void report() const {
        std::printf(
            "\nmedian seconds [min-max] of %d rounds; ratio = our time / sftp's time, below 1: ours is "
            "faster\n",
            rounds_);
        std::printf("%-30s", "work");
        for (Tool t : kTools) std::printf(" %-23s", tool_name(t));
        std::printf(" %10s %10s\n", "ours/-B32k", "ours/dflt");
        for (const Row& row : rows_) {
            std::printf("%-30s", row.label.c_str());
            double median[kToolCount] = {};
            for (int t = 0; t < kToolCount; ++t) {
                std::vector<double> v = row.times[t];
                std::sort(v.begin(), v.end());
                if (row.failed[t] || v.empty()) {
                    std::printf(" %-23s", "FAILED");
                    continue;
                }
                median[t] = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
                char cell[64];
                std::snprintf(cell, sizeof cell, "%.2f [%.2f-%.2f]", median[t], v.front(), v.back());
                std::printf(" %-23s", cell);
            }
            for (int t = 1; t < kToolCount; ++t) {
                if (median[0] > 0 && median[t] > 0)
                    std::printf(" %10.2f", median[0] / median[t]);
                else
                    std::printf(" %10s", "-");
            }
            std::printf("\n");
        }
    }
    bool all_ok() const { return all_ok_; }

  private:
    int rounds_;
    std::string out_;
    std::vector<Row> rows_;
    bool all_ok_ = true;
};

}  // namespace

int main() {
    const auto mib = static_cast<size_t>(env_number("ORVANE_BENCH_MB", 1024));
    const int rounds = static_cast<int>(env_number("ORVANE_BENCH_ROUNDS", 3));
    const int files = static_cast<int>(env_number("ORVANE_BENCH_FILES", 2000));
    const size_t wan_mib = std::min(kWanMib, mib);
    const int wan_files = std::max(1, files / 10);
    if (test::sftp_server_binary().empty() || access("/usr/bin/sftp", X_OK) != 0) {
        std::fprintf(stderr, "OpenSSH's sftp and sftp-server are needed\n");
        return 1;
    }
    test::TempDir dir;
    const std::string data = dir.file("data"), out = dir.file("out"), scratch = dir.file("scratch");
    for (const std::string& folder : {data, out, scratch}) fs::create_directories(folder);
    const std::string big = data + "/big", wan_big = data + "/wan-big", tree = data + "/tree",
                      wan_tree = data + "/wan-tree";
    make_file(big, mib);
    make_file(wan_big, wan_mib);
    make_tree(tree, files);
    make_tree(wan_tree, wan_files);

    const test::TestKeyFile& key = test::test_key_file("ed25519-openssh");
    const std::string authorized = dir.file("authorized_keys");
    test::write_all(authorized, test::file_text(key.path + ".pub"));
    Login login{0, login_name(), key.path, false, scratch};
    const std::string version = test::run_process("/usr/bin/ssh", {"-V"}).output;
    std::printf("%zu MiB file, %d files of 4 KiB (%d through the relay), %d rounds; %s", mib, files,
                wan_files, rounds, version.c_str());
    const std::string size = std::to_string(mib) + " MiB", tree_size = std::to_string(files) + " x 4 KiB";
    Bench bench(rounds, out);
    {
        test::SshdDaemon sshd(sshd_config(authorized, true));
        if (!sshd.running()) {
            std::fprintf(stderr, "sshd: %s\n", sshd.why().c_str());
            return 1;
        }
        Login weak = login;
        weak.port = sshd.port();
        weak.weak_ciphers = true;
        bench.measure("down " + size + " aes128-ctr", weak, Work::kDownloadFile, big, sshd);
        bench.measure("up " + size + " aes128-ctr", weak, Work::kUploadFile, big, sshd);
    }
    test::SshdDaemon sshd(sshd_config(authorized, false));
    if (!sshd.running()) {
        std::fprintf(stderr, "sshd: %s\n", sshd.why().c_str());
        return 1;
    }
    login.port = sshd.port();
    bench.measure("down " + size + " stock", login, Work::kDownloadFile, big, sshd);
    bench.measure("up " + size + " stock", login, Work::kUploadFile, big, sshd);
    bench.measure("down tree " + tree_size, login, Work::kDownloadTree, tree, sshd);
    bench.measure("up tree " + tree_size, login, Work::kUploadTree, tree, sshd);

    DelayRelay relay(sshd.port(), kOneWayDelay);
    std::string cause;
    if (relay.start(cause) != 0) {
        std::fprintf(stderr, "relay: %s\n", cause.c_str());
        return 1;
    }
    Login wan = login;
    wan.port = relay.port();
    const std::string rtt = " +50ms RTT";
    bench.measure("down " + std::to_string(wan_mib) + " MiB" + rtt, wan, Work::kDownloadFile, wan_big, sshd,
                  &relay);
    bench.measure("down tree " + std::to_string(wan_files) + rtt, wan, Work::kDownloadTree, wan_tree, sshd,
                  &relay);
    bench.measure("up tree " + std::to_string(wan_files) + rtt, wan, Work::kUploadTree, wan_tree, sshd,
                  &relay);
    // Our client with four sessions; OpenSSH's sftp has one connection whatever it is given.
    wan.parallel = 4;
    bench.measure("down tree " + std::to_string(wan_files) + rtt + " -parallel 4", wan, Work::kDownloadTree,
                  wan_tree, sshd, &relay);
    bench.measure("up tree " + std::to_string(wan_files) + rtt + " -parallel 4", wan, Work::kUploadTree,
                  wan_tree, sshd, &relay);

    bench.report();
    return bench.all_ok() ? 0 : 1;
}
