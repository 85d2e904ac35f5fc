// Our client runs a script of pkeyload, ftpconnectssh, one transfer and ftpdisconnect; OpenSSH's sftp
// runs a batch of the same one transfer. Each starts with an empty known-hosts file of its own.
#include "bench/sftp/ssh_bench_runs.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "common/safe_name.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane::bench {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A run of 1 GiB at a few MiB/s still ends well within this; a hung one does not hold the bench.
constexpr std::chrono::minutes kRunLimit{30};
constexpr size_t kShownOutput = 1500;

struct WorkForm {
    const char* macro;  // our script's statement
    const char* kind;
    const char* batch;  // sftp's batch command
};
constexpr WorkForm kWorkForms[] = {
    {"ftpdownload", "file", "get"},
    {"ftpupload", "file", "put"},
    {"ftpdownload", "folder", "get -r"},
    {"ftpupload", "folder", "put -r"},
};

struct ToolForm {
    const char* name;
    std::vector<const char*> options;  // sftp's, in front of the rest
};
const ToolForm kToolForms[] = {
    {"ours", {}},
    {"sftp -B 32768 -R 64", {"-B", "32768", "-R", "64"}},
    {"sftp (defaults)", {}},
};

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// The end of a failed run's output, escaped: it holds the server's words.
std::string tail_of(const std::string& output) {
    std::string tail = output.size() > kShownOutput ? output.substr(output.size() - kShownOutput) : output;
    return escape_controls(tail, true);
}

test::ProcessResult run_ours(const Login& login, const WorkForm& form, const std::string& from,
                             const std::string& to, const std::string& known_hosts) {
    std::string script = "pkeyload " + quoted(login.key_file) + ";\n" + "ftpconnectssh \"127.0.0.1\" " +
                         std::to_string(login.port) + " " + quoted(login.user) + " \"\";\n" + form.macro +
                         " " + form.kind + " " + quoted(from) + " " + quoted(to) + ";\nftpdisconnect;\n";
    return test::run_script_in(login.scratch, script, {"-parallel", std::to_string(login.parallel)},
                               {"ORVANE_KNOWN_HOSTS=" + known_hosts}, kRunLimit);
}

test::ProcessResult run_sftp(const Login& login, const ToolForm& tool, const WorkForm& form,
                             const std::string& from, const std::string& to, const std::string& known_hosts) {
    std::string batch = login.scratch + "/batch";
    test::write_all(batch, std::string(form.batch) + " " + from + " " + to + "\n");
    std::vector<std::string> args(tool.options.begin(), tool.options.end());
    if (login.weak_ciphers) args.insert(args.end(), {"-c", "aes128-ctr", "-o", "MACs=hmac-sha1"});
    args.insert(args.end(),
                {"-F", "/dev/null", "-b", batch, "-i", login.key_file, "-P", std::to_string(login.port), "-o",
                 "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=" + known_hosts, "-o",
                 "IdentitiesOnly=yes", "-o", "LogLevel=ERROR", login.user + "@127.0.0.1"});
    return test::run_process("/usr/bin/sftp", args, {}, false, kRunLimit);
}

// Reads both files in blocks; 0 when equal.
int same_file(const std::string& a, const std::string& b, std::string& cause) {
    std::unique_ptr<FILE, int (*)(FILE*)> fa(std::fopen(a.c_str(), "rb"), &std::fclose);
    std::unique_ptr<FILE, int (*)(FILE*)> fb(std::fopen(b.c_str(), "rb"), &std::fclose);
    if (!fa || !fb) {
        cause = (fa ? b : a) + " cannot be opened";
        return 1;
    }
    std::vector<char> ba(1 << 20), bb(1 << 20);
    for (;;) {
        size_t na = std::fread(ba.data(), 1, ba.size(), fa.get());
        size_t nb = std::fread(bb.data(), 1, bb.size(), fb.get());
        if (na != nb || !std::equal(ba.begin(), ba.begin() + static_cast<long>(na), bb.begin())) {
            cause = b + " differs from " + a;
            return 1;
        }
        if (na == 0) return 0;
    }
}

size_t files_in(const std::string& root) {
    size_t n = 0;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(root, ec))
        if (e.is_regular_file()) ++n;
    return n;
}

}  // namespace

const char* tool_name(Tool tool) {
    return kToolForms[static_cast<int>(tool)].name;
}

int timed_run(Tool tool, const Login& login, Work work, const std::string& from, const std::string& to,
              double& seconds, std::string& cause) {
    const WorkForm& form = kWorkForms[static_cast<int>(work)];
    const std::string known_hosts = login.scratch + "/known_hosts";
    fs::remove(known_hosts);
    auto start = Clock::now();
    test::ProcessResult r = tool == Tool::kOurs ? run_ours(login, form, from, to, known_hosts)
                                                : run_sftp(login, kToolForms[static_cast<int>(tool)], form,
                                                           from, to, known_hosts);
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (r.exit_code == 0) return 0;
    cause = std::string(tool_name(tool)) + " exited with " + std::to_string(r.exit_code) + ":\n" +
            tail_of(r.output);
    return 1;
}

int same_content(const std::string& original, const std::string& copy, std::string& cause) {
    if (!fs::is_directory(original)) return same_file(original, copy, cause);
    size_t count = 0;
    for (const auto& e : fs::recursive_directory_iterator(original)) {
        if (!e.is_regular_file()) continue;
        ++count;
        if (same_file(e.path().string(), copy + "/" + fs::relative(e.path(), original).string(), cause) != 0)
            return 1;
    }
    size_t arrived = files_in(copy);
    if (arrived == count) return 0;
    cause = copy + " holds " + std::to_string(arrived) + " files, not " + std::to_string(count);
    return 1;
}

}  // namespace orvane::bench
