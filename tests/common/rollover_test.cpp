// Log-file rollover: the "Rolled file" line and the kept tail.
#include "common/rollover.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

struct RolloverCase {
    uint32_t limit;
    size_t kept;  // bytes of the old content after the rollover line
};

TEST(Rollover, KeepsHalfTheLimitAtMostOneMegabyte) {
    test::TempDir dir;
    for (const RolloverCase& c : {RolloverCase{1000, 500}, RolloverCase{3000000, 1024000}}) {
        std::string content = test::random_bytes(c.limit + 10, c.limit);
        LocalFile f(dir.file("log"));
        ASSERT_EQ(f.open(platform::kOpenWrite), 0);
        enable_rollover(f, c.limit);
        ASSERT_EQ(f.write(content.substr(0, c.limit)), static_cast<int64_t>(c.limit));
        EXPECT_EQ(test::read_all(dir.file("log")), content.substr(0, c.limit));  // not past the limit yet
        f.write(content.substr(c.limit));
        f.close();
        std::string line = "Rolled file (rollover size was set to " + std::to_string(c.limit) + " bytes)\r\n";
        EXPECT_EQ(test::read_all(dir.file("log")), line + content.substr(content.size() - c.kept)) << c.limit;
    }
}

TEST(Rollover, ExistingSizeCountsWhenAppending) {
    test::TempDir dir;
    test::write_all(dir.file("log"), std::string(900, 'a'));
    LocalFile f(dir.file("log"));
    ASSERT_EQ(f.open(platform::kOpenAppend), 0);
    enable_rollover(f, 1000);
    f.write(std::string(200, 'b'));
    f.close();
    EXPECT_EQ(test::read_all(dir.file("log")), "Rolled file (rollover size was set to 1000 bytes)\r\n" +
                                                   std::string(300, 'a') + std::string(200, 'b'));
}

}  // namespace
}  // namespace orvane
