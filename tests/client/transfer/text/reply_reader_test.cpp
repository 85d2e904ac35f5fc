// Reply reader: replies split anywhere, multi-line replies, several replies at once, caps and errors.
#include "client/transfer/text/reply_reader.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

std::vector<ServerReply> take_all(ReplyReader& r) {
    std::vector<ServerReply> out;
    ServerReply reply;
    while (r.take(reply) == 1) out.push_back(reply);
    return out;
}

TEST(ReplyReader, ReplySplitAtEveryByteGivesTheSameReplies) {
    const std::string wire =
        "220-Welcome\r\n 220 indented text\r\n220-more\r\n220 ready\r\n"
        "331 Password required\r\n"
        "211-Features:\r\n MDTM\r\n SIZE\r\n211 End\n";
    for (size_t chunk = 1; chunk <= wire.size(); ++chunk) {
        ReplyReader r;
        std::vector<ServerReply> got;
        for (size_t i = 0; i < wire.size(); i += chunk) {
            ASSERT_EQ(r.feed(std::string_view(wire).substr(i, chunk)), 0);
            for (auto& reply : take_all(r)) got.push_back(reply);
        }
        ASSERT_EQ(got.size(), 3u) << chunk;
        EXPECT_EQ(got[0].code, 220);
        EXPECT_EQ(got[0].lines,
                  (std::vector<std::string>{"220-Welcome", " 220 indented text", "220-more", "220 ready"}));
        EXPECT_EQ(got[1].code, 331);
        EXPECT_EQ(got[2].code, 211);
        EXPECT_EQ(got[2].lines.back(), "211 End");
        EXPECT_FALSE(r.pending());
        EXPECT_EQ(r.finish(), 0);
    }
}

TEST(ReplyReader, TwoRepliesInOneReadAreTakenOneByOne) {
    // A preliminary reply and its completion often arrive together.
    ReplyReader r;
    ASSERT_EQ(r.feed("150 Opening\r\n226 Done\r\n"), 0);
    ServerReply a, b;
    ASSERT_EQ(r.take(a), 1);
    EXPECT_EQ(a.code, 150);
    EXPECT_TRUE(r.pending());
    ASSERT_EQ(r.take(b), 1);
    EXPECT_EQ(b.code, 226);
    EXPECT_EQ(r.take(b), 0);
}

TEST(ReplyReader, IncompleteRepliesWait) {
    ReplyReader r;
    ServerReply reply;
    for (const char* part : {"220", " no line end yet", "\r", "\n"}) {
        EXPECT_EQ(r.take(reply), 0);
        r.feed(part);
    }
    ASSERT_EQ(r.take(reply), 1);
    EXPECT_EQ(reply.lines[0], "220 no line end yet");
    // Three digits alone, or digits and a hyphen, do not end a reply.
    r.feed("220\r\n230-x\r\n");
    EXPECT_EQ(r.take(reply), 0);
    r.feed("230 \r\n");
    ASSERT_EQ(r.take(reply), 1);
    EXPECT_EQ(reply.code, 230);
    EXPECT_EQ(reply.lines.size(), 3u);
}

TEST(ReplyReader, PendingBytesBehindATlsGoAhead) {
    ReplyReader r;
    ServerReply reply;
    r.feed("234 AUTH TLS OK\r\n");
    ASSERT_EQ(r.take(reply), 1);
    EXPECT_FALSE(r.pending());
    r.feed("234 AUTH TLS OK\r\n230 injected");
    ASSERT_EQ(r.take(reply), 1);
    EXPECT_TRUE(r.pending());
}

TEST(ReplyReader, LongLinesAreCutNotOverflowed) {
    ReplyReader r;
    std::string line = "550 " + std::string(5000, 'x');
    ASSERT_EQ(r.feed(line + "\r\n"), 0);
    ServerReply reply;
    ASSERT_EQ(r.take(reply), 1);
    EXPECT_EQ(reply.code, 550);
    EXPECT_EQ(reply.lines[0], line.substr(0, 390));
    // A line of exactly the limit keeps all of it and loses its CR.
    std::string exact = "200 " + std::string(386, 'y');
    r.feed(exact + "\r\n");
    ASSERT_EQ(r.take(reply), 1);
    EXPECT_EQ(reply.lines[0], exact);
}

TEST(ReplyReader, ErrorsAreStickyValues) {
    ReplyReader nul;
    EXPECT_EQ(nul.feed(std::string("220 a\0b\r\n", 9)), static_cast<int>(ReplyError::kNulByte));
    ServerReply reply;
    EXPECT_EQ(nul.take(reply), -1);
    EXPECT_EQ(nul.feed("220 fine\r\n"), static_cast<int>(ReplyError::kNulByte));
    nul.reset();
    EXPECT_EQ(nul.feed("220 fine\r\n"), 0);
    EXPECT_EQ(nul.take(reply), 1);

    ReplyReader lines(ReplyLimits{390, 3, 65536});
    EXPECT_EQ(lines.feed("211-a\r\nb\r\n"), 0);
    EXPECT_EQ(lines.feed("c\r\n"), static_cast<int>(ReplyError::kTooManyLines));
    EXPECT_EQ(lines.error(), ReplyError::kTooManyLines);

    // Endless bytes without a line end, or replies never taken, stop at the byte cap.
    ReplyReader big(ReplyLimits{390, 1000, 100});
    EXPECT_EQ(big.feed(std::string(100, 'x')), 0);
    EXPECT_EQ(big.feed("x"), static_cast<int>(ReplyError::kTooLarge));
    ReplyReader piled(ReplyLimits{390, 1000, 100});
    for (int i = 0; i < 10; ++i) piled.feed("200 ok\r\n");
    EXPECT_EQ(piled.feed("200 ok\r\n200 ok\r\n200 ok\r\n200 ok\r\n"),
              static_cast<int>(ReplyError::kTooLarge));
    // Taking replies frees their room.
    ReplyReader taken(ReplyLimits{390, 1000, 100});
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(taken.feed("200 ok\r\n"), 0);
        ASSERT_EQ(taken.take(reply), 1);
    }

    ReplyReader cut;
    cut.feed("220-hello\r\n");
    EXPECT_EQ(cut.finish(), static_cast<int>(ReplyError::kTruncated));
    EXPECT_STREQ(reply_error_name(cut.error()), "reply truncated");
}

TEST(ReplyReader, FinalLineCode) {
    EXPECT_EQ(final_line_code("226 Done"), 226);
    EXPECT_EQ(final_line_code("000 "), 0);
    EXPECT_EQ(final_line_code("226-x"), -1);
    EXPECT_EQ(final_line_code("226"), -1);
    EXPECT_EQ(final_line_code("2a6 x"), -1);
}

}  // namespace
}  // namespace orvane
