// rungpg with the real GnuPG, a throwaway home folder and a key made here: a text encrypted by the
// script decrypts with gpg, and a file encrypted by gpg decrypts through the script.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::read_all;
using test::run_process;
using test::TempDir;
using test::write_all;

class RunGpg : public ::testing::Test {
  protected:
    void SetUp() override {
        // gpg-agent detaches from gpg: as our own orphan it can be reaped when it ends.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        home_ = dir_.file("gnupg");
        mkdir(home_.c_str(), 0700);
        auto r = gpg(
            {"--quick-gen-key", "Orvane Test <test@orvane.invalid>", "future-default", "default", "never"});
        ASSERT_EQ(r.exit_code, 0) << r.output;
    }
    void TearDown() override {
        run_process("/usr/bin/gpgconf", {"--homedir", home_, "--kill", "gpg-agent"});
        for (int i = 0; i < 100 && waitpid(-1, nullptr, WNOHANG) >= 0; ++i) usleep(20 * 1000);
    }

    test::ProcessResult gpg(std::vector<std::string> args) {
        std::vector<std::string> all = {"--homedir",       home_,      "--batch",      "--yes",
                                        "--pinentry-mode", "loopback", "--passphrase", "",
                                        "--trust-model",   "always"};
        all.insert(all.end(), args.begin(), args.end());
        return run_process("/usr/bin/gpg", all, {}, false, std::chrono::seconds(120));
    }
    test::ProcessResult script(const std::string& text) {
        return test::run_script_in(dir_.path(), text, {}, {}, std::chrono::seconds(120));
    }

    TempDir dir_;
    std::string home_;
};

TEST_F(RunGpg, EncryptsForGpgAndDecryptsFromIt) {
    const std::string options = "--homedir " + home_ + " --batch --yes --trust-model always";
    auto r = script("rungpg \"" + options +
                    " -r test@orvane.invalid -o sealed.gpg --encrypt\" \"secret text\";\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    r = gpg({"-o", dir_.file("opened.txt"), "--decrypt", dir_.file("sealed.gpg")});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_all(dir_.file("opened.txt")), "secret text\n");  // the input and "\n"

    const std::string plain = test::random_bytes(300000, 3);
    write_all(dir_.file("plain.bin"), plain);
    r = gpg({"-r", "test@orvane.invalid", "-o", dir_.file("file.gpg"), "--encrypt", dir_.file("plain.bin")});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    r = script("rungpg \"" + options + " --pinentry-mode loopback -o out.bin --decrypt file.gpg\" \"\";\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(read_all(dir_.file("out.bin")) == plain);
    // GnuPG's messages are logged as lines of their own.
    EXPECT_NE(r.output.find("\ngpg: encrypted with "), std::string::npos) << r.output;

    // A file that is no message: GnuPG fails, and so does the statement.
    write_all(dir_.file("junk.gpg"), "not an OpenPGP message");
    r = script("rungpg \"" + options + " -o junk.out --decrypt junk.gpg\" \"\";\nprint \"went on\";\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.output.find("ERROR: GnuPG ended with exit code 2\nwent on\n"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace orvane
