// SshBuffer: wire encodings, short versus malformed reads, limits, and growth that keeps content.
#include "client/ssh/ssh_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace orvane::ssh {
namespace {

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s.push_back(static_cast<char>(b));
    return s;
}

struct ReadCase {
    const char* name;
    std::string input;
    BufferError expected;
};

TEST(SshBuffer, ReadsTellShortFromMalformed) {
    const ReadCase cases[] = {
        {"empty u32", "", BufferError::kShort},
        {"three bytes for a u32", bytes({0, 0, 1}), BufferError::kShort},
        {"string body missing", bytes({0, 0, 0, 5, 'a', 'b'}), BufferError::kShort},
        {"string over the limit", bytes({0, 4, 0, 1}), BufferError::kMalformed},
        {"string of exactly the limit, body short", bytes({0, 4, 0, 0}), BufferError::kShort},
        {"negative mpint", bytes({0, 0, 0, 1, 0x80}), BufferError::kMalformed},
        {"mpint over 8192 bytes", bytes({0, 0, 0x20, 0x01}), BufferError::kMalformed},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        SshBuffer b(c.input);
        std::string name = c.name;
        if (name.find("mpint") != std::string::npos) {
            b.get_mpint();
        } else if (name.find("string") != std::string::npos) {
            b.get_string();
        } else {
            b.get_u32();
        }
        EXPECT_EQ(b.error(), c.expected);
        // Sticky: later reads yield nothing.
        EXPECT_EQ(b.get_byte(), 0);
        EXPECT_EQ(b.error(), c.expected);
    }
}

TEST(SshBuffer, ShortReadLeavesPositionForMoreBytes) {
    SshBuffer b(bytes({0, 0, 0, 3, 'a'}));
    EXPECT_TRUE(b.get_string().empty());
    EXPECT_EQ(b.error(), BufferError::kShort);
    b.clear_error();
    b.put_bytes("bc");
    EXPECT_EQ(b.get_string(), "abc");
    EXPECT_TRUE(b.ok());
}

TEST(SshBuffer, MpintEncodings) {
    struct Case {
        std::string magnitude;
        std::string wire;
    } cases[] = {
        {"", bytes({0, 0, 0, 0})},
        {bytes({0, 0}), bytes({0, 0, 0, 0})},
        {bytes({0x7f}), bytes({0, 0, 0, 1, 0x7f})},
        {bytes({0x80}), bytes({0, 0, 0, 2, 0, 0x80})},
        {bytes({0, 0x09, 0xa3}), bytes({0, 0, 0, 2, 0x09, 0xa3})},
        {bytes({0xff, 0x01}), bytes({0, 0, 0, 3, 0, 0xff, 0x01})},
    };
    for (const Case& c : cases) {
        SshBuffer out;
        out.put_mpint(c.magnitude);
        EXPECT_EQ(out.view(), c.wire);
        SshBuffer in(c.wire);
        std::string expected = c.magnitude;
        while (!expected.empty() && expected[0] == '\0') expected.erase(0, 1);
        EXPECT_EQ(in.get_mpint(), expected);
        EXPECT_TRUE(in.ok() && in.empty());
    }
}

TEST(SshBuffer, IntegersStringsAndNameLists) {
    SshBuffer b;
    b.put_byte(7);
    b.put_bool(true);
    b.put_u32(0xdeadbeef);
    b.put_u64(0x0102030405060708ull);
    b.put_string("abc");
    b.put_name_list({"x", "y"});
    EXPECT_EQ(b.get_byte(), 7);
    EXPECT_TRUE(b.get_bool());
    EXPECT_EQ(b.get_u32(), 0xdeadbeefu);
    EXPECT_EQ(b.get_u64(), 0x0102030405060708ull);
    EXPECT_EQ(b.get_string(), "abc");
    EXPECT_EQ(b.get_string(), "x,y");
    EXPECT_TRUE(b.ok() && b.empty());
}

TEST(SshBuffer, AppendsPastTheLimitAreRefused) {
    SshBuffer b(8);
    b.put_u32(1);
    b.put_u32(2);
    EXPECT_TRUE(b.ok());
    b.put_byte(3);
    EXPECT_EQ(b.error(), BufferError::kTooLarge);
    EXPECT_EQ(b.size(), 8u);
    // Room made by reading counts again.
    SshBuffer c(8);
    c.put_u64(5);
    c.get_u32();
    c.put_u32(6);
    EXPECT_TRUE(c.ok());
    EXPECT_EQ(c.get_u32(), 5u);
    EXPECT_EQ(c.get_u32(), 6u);
}

TEST(SshBuffer, GrowthAndCompactionKeepContent) {
    SshBuffer b(8u << 20);
    std::string expected;
    // Reads and writes interleaved across growth and the compaction threshold.
    for (int round = 0; round < 400; ++round) {
        std::string chunk(5000 + round, static_cast<char>('a' + round % 26));
        b.put_bytes(chunk);
        expected += chunk;
        size_t take = (round % 3 == 0) ? expected.size() / 2 : 1000;
        EXPECT_EQ(b.get_bytes(take), expected.substr(0, take));
        expected.erase(0, take);
    }
    EXPECT_TRUE(b.ok());
    EXPECT_EQ(b.view(), expected);
}

}  // namespace
}  // namespace orvane::ssh
