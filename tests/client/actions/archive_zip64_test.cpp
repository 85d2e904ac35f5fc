// A member over 4 GiB, from a sparse file: Zip64 sizes that unzip tests and zipinfo lists. Its
// own test, as deflating 5 GiB takes minutes on a busy machine.
#include <gtest/gtest.h>

#include "client/actions/archive_actions.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

test::ProcessResult sh(const std::string& command, const std::string& cwd) {
    return test::run_process("/bin/sh", {"-c", command}, {}, false, std::chrono::minutes(20), {}, cwd);
}

TEST(Zip64, MembersOver4GiB) {
    test::TempDir dir;
    ASSERT_EQ(sh("truncate -s 5G big.dat && printf end >> big.dat", dir.path()).exit_code, 0);
    ASSERT_EQ(compress_action(dir.path(), "big.dat", nullptr), 0);
    auto t = sh("unzip -t big.zip", dir.path());
    EXPECT_EQ(t.exit_code, 0) << t.output;
    auto info = sh("zipinfo big.zip", dir.path());
    EXPECT_NE(info.output.find("5368709123"), std::string::npos) << info.output;
}

}  // namespace
}  // namespace orvane
