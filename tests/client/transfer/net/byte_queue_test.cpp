// ByteQueue: chunking, take/peek/drop across chunks, line takes with every line end, limits.
#include "client/transfer/net/byte_queue.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

std::string pattern(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + i % 26));
    return s;
}

TEST(ByteQueue, BytesCrossChunksInOrder) {
    ByteQueue q(1 << 20);
    std::string data = pattern(3000);
    ASSERT_EQ(q.append(data.data(), 1000), 0);
    ASSERT_EQ(q.append(data.data() + 1000, 2000), 0);
    EXPECT_EQ(q.size(), 3000u);
    EXPECT_EQ(q.chunk_count(), 3u);  // 1024 + 1024 + 952
    std::string peeked(1500, '\0');
    EXPECT_EQ(q.peek(peeked.data(), 1500), 1500u);
    EXPECT_EQ(peeked, data.substr(0, 1500));
    EXPECT_EQ(q.size(), 3000u);
    std::string taken(1100, '\0');
    EXPECT_EQ(q.take(taken.data(), 1100), 1100u);
    EXPECT_EQ(taken, data.substr(0, 1100));
    EXPECT_EQ(q.chunk_count(), 2u) << "the emptied chunk is freed";
    EXPECT_EQ(q.drop(100), 0);
    EXPECT_EQ(q.contents(), data.substr(1200));
    EXPECT_EQ(q.drop(5000), 1) << "fewer bytes were held";
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.take(taken.data(), 10), 0u);
}

TEST(ByteQueue, TakeLineUnderstandsEveryLineEnd) {
    ByteQueue q(1 << 20);
    q.append(std::string("one\r\ntwo\nthree\rfour"));
    std::string line;
    int complete = -1;
    EXPECT_EQ(q.take_line(line, 391, &complete), 3);
    EXPECT_EQ(line, "one");
    EXPECT_EQ(complete, 1);
    EXPECT_EQ(q.take_line(line, 391, &complete), 3);
    EXPECT_EQ(line, "two");
    EXPECT_EQ(q.take_line(line, 391, &complete), 5);
    EXPECT_EQ(line, "three");
    EXPECT_EQ(q.take_line(line, 391, &complete), 4);
    EXPECT_EQ(line, "four");
    EXPECT_EQ(complete, 0) << "no line end yet";
    EXPECT_LE(q.take_line(line, 391, &complete), 0);
    // An empty line is a line of length 0 that was taken.
    q.append(std::string("\r\nx\n"));
    EXPECT_EQ(q.take_line(line, 391, &complete), 0);
    EXPECT_EQ(complete, 1);
    EXPECT_EQ(q.take_line(line, 391, &complete), 1);
    EXPECT_TRUE(q.empty());
}

TEST(ByteQueue, LongLinesComeInPiecesOfCapacityMinusOne) {
    ByteQueue q(1 << 20);
    std::string text = pattern(2500);
    q.append(text + "\r\n");
    std::string line, joined;
    int complete = 0;
    int pieces = 0;
    while (!q.empty()) {
        int n = q.take_line(line, 1000, &complete);
        ASSERT_GE(n, 0);
        EXPECT_LE(line.size(), 999u);
        joined += line;
        ++pieces;
    }
    EXPECT_EQ(joined, text);
    EXPECT_EQ(pieces, 3);
    EXPECT_EQ(complete, 1);
}

TEST(ByteQueue, LastLineReadsBackOverOneLineEnd) {
    ByteQueue q(1 << 20);
    std::string line;
    int complete = -1;
    EXPECT_LT(q.last_line(line, 391, &complete), 0);
    q.append(std::string("220-Welcome\r\n220-more\r\n"));
    q.append(std::string(1500, 'y'));  // spread the reply over chunks
    q.append(std::string("\r\n220 Ready\r\n"));
    EXPECT_EQ(q.last_line(line, 391, &complete), 9);
    EXPECT_EQ(line, "220 Ready");
    EXPECT_EQ(complete, 1);
    EXPECT_EQ(q.size(), 23u + 1500 + 13) << "nothing removed";
    q.append(std::string("150 partial"));
    q.last_line(line, 391, &complete);
    EXPECT_EQ(line, "150 partial");
    EXPECT_EQ(complete, 0);
    // Capacity keeps the line's start.
    ByteQueue r(1 << 20);
    r.append(std::string("213 20240102030405\n"));
    EXPECT_EQ(r.last_line(line, 5, &complete), 4);
    EXPECT_EQ(line, "213 ");
}

TEST(ByteQueue, AppendLinesStartsEveryLineInItsOwnChunk) {
    ByteQueue q(1 << 20);
    q.append_lines(std::string("USER anonymous\r\nPASS x\r\n"));
    EXPECT_EQ(q.chunk_count(), 2u);
    q.append_lines(pattern(2100));  // 1023 characters per chunk for text
    EXPECT_EQ(q.chunk_count(), 5u);
    std::string line;
    int complete = 0;
    q.take_line(line, 391, &complete);
    EXPECT_EQ(line, "USER anonymous");
    EXPECT_EQ(q.size(), 8u + 2100);
}

TEST(ByteQueue, LimitRefusesWholeAppendsAndCopyKeepsTheTargetLimit) {
    ByteQueue q(2000);
    EXPECT_EQ(q.append(pattern(1500)), 0);
    EXPECT_EQ(q.append(pattern(600)), 1);
    EXPECT_TRUE(q.overflowed());
    EXPECT_EQ(q.size(), 1500u);
    EXPECT_EQ(q.append_lines(pattern(501)), 1);
    EXPECT_EQ(q.append(pattern(500)), 0) << "up to the limit exactly";
    ByteQueue copy(10000);
    copy.append(std::string("old"));
    EXPECT_EQ(copy.copy_from(q), 0);
    EXPECT_EQ(copy.contents(), q.contents());
    ByteQueue small(10);
    EXPECT_EQ(small.copy_from(q), 1);
    EXPECT_TRUE(small.empty());
    q.clear();
    EXPECT_FALSE(q.overflowed());
    EXPECT_EQ(q.chunk_count(), 0u);
}

}  // namespace
}  // namespace orvane
