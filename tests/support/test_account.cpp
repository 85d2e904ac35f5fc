// Local test users through the shadow tools (useradd, chpasswd, userdel).
#include "tests/support/test_account.h"

#include <pwd.h>
#include <unistd.h>

#include <random>

#include "tests/support/process.h"

namespace orvane::test {

namespace {

std::string random_text(std::mt19937& gen, size_t n) {
    static const char alphabet[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::string out;
    for (size_t i = 0; i < n; ++i) out += alphabet[gen() % (sizeof alphabet - 1)];
    return out;
}

}  // namespace

TestAccount::TestAccount() {
    if (geteuid() != 0) {
        why_ = "making a test user needs root";
        return;
    }
    std::mt19937 gen(std::random_device{}());
    // A name taken by a user of another run: try another (useradd's exit code 9).
    for (int attempt = 0; attempt < 5 && !made_; ++attempt) {
        name_ = "orvtest" + std::to_string(1000 + gen() % 9000);
        ProcessResult r = run_process("/usr/sbin/useradd", {"-M", "-s", "/bin/sh", "-d", home(), name_});
        if (r.exit_code == 0)
            made_ = true;
        else if (r.exit_code != 9)
            why_ = "useradd failed: " + r.output;
    }
    if (!made_) {
        if (why_.empty()) why_ = "no free test user name";
        return;
    }
    password_ = random_text(gen, 20);
    ProcessResult r = run_process("/usr/sbin/chpasswd", {}, name_ + ":" + password_ + "\n");
    const passwd* pw = getpwnam(name_.c_str());
    if (r.exit_code != 0 || pw == nullptr || chown(home().c_str(), pw->pw_uid, pw->pw_gid) != 0) {
        why_ = "could not set up the test user: " + r.output;
        made_ = false;
        run_process("/usr/sbin/userdel", {name_});
    }
}

TestAccount::~TestAccount() {
    if (made_) run_process("/usr/sbin/userdel", {name_});
}

}  // namespace orvane::test
