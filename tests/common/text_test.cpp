// The decimal readers: what each variant accepts, and where a whole text fails while a prefix saturates.
#include <gtest/gtest.h>

#include <cstdint>

#include "common/text.h"

namespace orvane {
namespace {

TEST(Decimal, WholeTextIsDigitsOnly) {
    uint64_t v = 7;
    for (const char* bad : {"", " 1", "1 ", "+1", "-1", "1a", "1,000", "0x10"}) {
        EXPECT_FALSE(parse_decimal(bad, v)) << '"' << bad << '"';
        EXPECT_EQ(v, 7u) << "left alone on failure";
    }
    ASSERT_TRUE(parse_decimal("000000000000000000000042", v));
    EXPECT_EQ(v, 42u) << "leading zeros are plain digits";
}

TEST(Decimal, WholeTextFailsOnOverflowAndOnTooManyDigits) {
    uint64_t v = 0;
    ASSERT_TRUE(parse_decimal("18446744073709551615", v));
    EXPECT_EQ(v, UINT64_MAX);
    EXPECT_FALSE(parse_decimal("18446744073709551616", v));
    EXPECT_TRUE(parse_decimal("9999999999999999999", v, 19));
    EXPECT_FALSE(parse_decimal("10000000000000000000", v, 19)) << "fits 64 bits, but has 20 digits";
    EXPECT_FALSE(parse_decimal("0255", v, 3));
}

TEST(Decimal, PrefixReadsLeadingDigitsAndSaturates) {
    EXPECT_EQ(parse_decimal_prefix_saturating(""), 0u);
    EXPECT_EQ(parse_decimal_prefix_saturating("x12"), 0u);
    EXPECT_EQ(parse_decimal_prefix_saturating(" 12"), 0u) << "no blanks skipped";
    EXPECT_EQ(parse_decimal_prefix_saturating("-12"), 0u);
    EXPECT_EQ(parse_decimal_prefix_saturating("0021 bytes"), 21u);
    EXPECT_EQ(parse_decimal_prefix_saturating("4294967296", UINT32_MAX), UINT32_MAX);
    EXPECT_EQ(parse_decimal_prefix_saturating("99999999999999999999999", UINT32_MAX), UINT32_MAX);
    EXPECT_EQ(parse_decimal_prefix_saturating("99999999999999999999999"), UINT64_MAX);
    EXPECT_EQ(leading_digits("0123abc"), 4u);
    EXPECT_EQ(leading_digits("abc"), 0u);
}

}  // namespace
}  // namespace orvane
