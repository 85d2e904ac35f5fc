// The handler's formatter: the printf conversions the report relies on, escaping, and the line end
// that survives a line cut at the capacity.
#include "platform/signal_text.h"

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "gtest/gtest.h"

namespace orvane::platform {
namespace {

TEST(SignalText, FormatsAsPrintfWould) {
    struct Case {
        std::function<void(SignalText&)> build;
        std::string expected;
    };
    char big[64];
    std::snprintf(big, sizeof big, "%016lx|%04x|%08x|%d|%02d", 0xfedcba9876543210UL, 0x33, 0, -2147483647 - 1,
                  7);
    const Case cases[] = {
        {[](SignalText& t) {
             t.hex(0xfedcba9876543210ULL, 16).text("|").hex(0x33, 4).text("|").hex(0, 8).text("|");
             t.decimal(-2147483647 - 1).text("|").padded(7, 2);
         },
         big},
        {[](SignalText& t) { t.decimal(INT64_MIN); }, "-9223372036854775808"},
        {[](SignalText& t) { t.hex(0xabcdef12345, 4); }, "abcdef12345"},
        {[](SignalText& t) { t.escaped(std::string_view("a\x1b[31m\x7f\n", 8)); }, "a\\x1b[31m\\x7f\\x0a"},
    };
    for (const Case& c : cases) {
        SignalText t;
        c.build(t);
        EXPECT_EQ(t.view(), c.expected);
        EXPECT_FALSE(t.truncated());
    }
}

TEST(SignalText, LineCutAtCapacityKeepsItsLineEnd) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    SignalText t;
    t.text(std::string(SignalText::kCapacity + 100, 'x'));
    EXPECT_TRUE(t.truncated());
    ASSERT_EQ(t.end_line(fds[1]), 0);
    EXPECT_EQ(t.size(), 0u);
    std::string got(SignalText::kCapacity + 10, '\0');
    got.resize(static_cast<size_t>(read(fds[0], got.data(), got.size())));
    EXPECT_EQ(got, std::string(SignalText::kCapacity - 2, 'x') + "\r\n");
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
}  // namespace orvane::platform
