// The duplicate-file decision: by size, by date in whole seconds, and a missing target.
#include "client/transfer/session/duplicate_rules.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

constexpr uint64_t kSecond = 10000000ULL;

TEST(DuplicateDecision, BySizePicksTheFieldOfTheComparison) {
    DuplicateRules rules{kCompareBySize, kDuplicateResume, kDuplicateSkip, kDuplicateRename};
    DuplicateFacts f;
    f.target_exists = true;
    f.source_size = 5000000000ULL;  // above 32 bits: compared whole
    f.target_size = 705032704ULL;   // 5000000000 cut to 32 bits
    EXPECT_EQ(duplicate_action(rules, f), kDuplicateResume);
    f.target_size = f.source_size;
    EXPECT_EQ(duplicate_action(rules, f), kDuplicateSkip);
    f.target_size = f.source_size + 1;
    EXPECT_EQ(duplicate_action(rules, f), kDuplicateRename);
    f.target_exists = false;
    EXPECT_EQ(duplicate_action(rules, f), kDuplicateOverwrite) << "nothing there to keep";
}

TEST(DuplicateDecision, ByDateComparesWholeSecondsAsServersReportThem) {
    DuplicateRules rules{kCompareByDate, kDuplicateOverwrite, kDuplicateSkip, kDuplicateResume};
    DuplicateFacts f;
    f.target_exists = true;
    f.source_time = 1000 * kSecond;
    f.target_time = 1000 * kSecond + 4000000;  // 0.4 s later on a local file system
    EXPECT_EQ(duplicate_action(rules, f), kDuplicateSkip);
    f.target_time = 999 * kSecond;
    EXPECT_EQ(duplicate_action(rules, f), kDuplicateOverwrite);
    f.target_time = 1001 * kSecond;
    EXPECT_EQ(duplicate_action(rules, f), kDuplicateResume);
}

}  // namespace
}  // namespace orvane
