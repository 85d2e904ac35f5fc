// The SFTP bench's check of what arrived: a run that lost, cut, changed or added a file must not pass.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "bench/sftp/ssh_bench_runs.h"
#include "tests/support/temp_dir.h"

namespace orvane::bench {
namespace {

namespace fs = std::filesystem;

class SameContent : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* side : {"a/x", "b/x"}) fs::create_directories(dir_.file(side));
        for (const char* side : {"a", "b"}) {
            test::write_all(dir_.file(side) + "/one", test::random_bytes(3 << 20, 5));
            test::write_all(dir_.file(side) + "/x/two", "two");
        }
    }
    int compare() { return same_content(dir_.file("a"), dir_.file("b"), cause_); }
    test::TempDir dir_;
    std::string cause_;
};

TEST_F(SameContent, EqualFilesAndTreesPass) {
    EXPECT_EQ(same_content(dir_.file("a/one"), dir_.file("b/one"), cause_), 0) << cause_;
    EXPECT_EQ(compare(), 0) << cause_;
}

TEST_F(SameContent, EveryKindOfDifferenceFails) {
    std::string late_change = test::random_bytes(3 << 20, 5);
    late_change.back() ^= 1;  // in the last block read
    test::write_all(dir_.file("b/one"), late_change);
    EXPECT_EQ(same_content(dir_.file("a/one"), dir_.file("b/one"), cause_), 1);
    test::write_all(dir_.file("b/one"), test::random_bytes(3 << 20, 5).substr(0, 2 << 20));
    EXPECT_EQ(same_content(dir_.file("a/one"), dir_.file("b/one"), cause_), 1);
    EXPECT_EQ(same_content(dir_.file("b/one"), dir_.file("a/one"), cause_), 1);
    EXPECT_EQ(same_content(dir_.file("a/one"), dir_.file("b/none"), cause_), 1);

    test::write_all(dir_.file("b/one"), test::random_bytes(3 << 20, 5));
    test::write_all(dir_.file("b/x/three"), "extra");
    EXPECT_EQ(compare(), 1);
    EXPECT_NE(cause_.find("holds 3 files, not 2"), std::string::npos) << cause_;
    fs::remove(dir_.file("b/x/three"));
    fs::remove(dir_.file("b/x/two"));
    EXPECT_EQ(compare(), 1);
}

}  // namespace
}  // namespace orvane::bench
