// LocalFile: open modes, line reading across buffer fills, write line, times.
#include "common/local_file.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::read_all;
using test::TempDir;
using test::write_all;

std::vector<std::string> read_lines(const std::string& path, size_t capacity,
                                    std::vector<int>* results = nullptr) {
    LocalFile f(path);
    EXPECT_EQ(f.open(platform::kOpenRead), 0);
    std::vector<std::string> lines;
    std::string line;
    for (int guard = 0; guard < 100000; ++guard) {
        int r = f.read_line(line, capacity);
        if (results) results->push_back(r);
        if (r <= 0) break;
        lines.push_back(line);
    }
    return lines;
}

TEST(LocalFile, EveryLineEndReadsTheSameLines) {
    TempDir dir;
    for (const char* sep : {"\r\n", "\n\r", "\r", "\n"}) {
        std::string s = std::string("one") + sep + "two" + sep + "three";
        write_all(dir.file("a"), s);
        EXPECT_EQ(read_lines(dir.file("a"), 100), (std::vector<std::string>{"one", "two", "three"})) << sep;
    }
}

TEST(LocalFile, EmptyLinesAndDoubleCarriageReturn) {
    TempDir dir;
    write_all(dir.file("a"), "a\r\rb\n\nc\r\n");
    std::vector<int> results;
    EXPECT_EQ(read_lines(dir.file("a"), 100, &results), (std::vector<std::string>{"a", "", "b", "", "c"}));
    // An empty line reports its line end, never 0.
    EXPECT_EQ(results, (std::vector<int>{2, 1, 2, 1, 3, 0}));
}

TEST(LocalFile, PairSplitAcrossBufferFillsIsOneLineEnd) {
    TempDir dir;
    // The CR is the 8192nd byte: the LF arrives with the next fill.
    std::string first(8191, 'x');
    write_all(dir.file("a"), first + "\r\nnext\r\n");
    auto lines = read_lines(dir.file("a"), 10000);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], first);
    EXPECT_EQ(lines[1], "next");
}

TEST(LocalFile, LongLinesComeInPiecesWithoutLoss) {
    TempDir dir;
    std::string longline;
    for (int i = 0; i < 20000; ++i) longline += static_cast<char>('a' + i % 26);
    write_all(dir.file("a"), longline + "\nend\n");
    std::vector<int> results;
    auto pieces = read_lines(dir.file("a"), 391, &results);
    std::string joined;
    for (size_t i = 0; i + 1 < pieces.size(); ++i) {
        EXPECT_LE(pieces[i].size(), 390u);
        joined += pieces[i];
    }
    EXPECT_EQ(joined, longline);
    EXPECT_EQ(pieces.back(), "end");
}

TEST(LocalFile, LastLineWithoutLineEndAndCapacityRules) {
    TempDir dir;
    write_all(dir.file("a"), "abcdef");
    std::vector<int> results;
    EXPECT_EQ(read_lines(dir.file("a"), 4, &results), (std::vector<std::string>{"abc", "def"}));
    EXPECT_EQ(results, (std::vector<int>{3, 3, 0}));
    LocalFile f(dir.file("a"));
    std::string line;
    EXPECT_EQ(f.read_line(line, 0), -1);
    EXPECT_EQ(f.read_line(line, 10), 0);  // closed reads as exhausted
}

TEST(LocalFile, OpenModes) {
    TempDir dir;
    LocalFile f;
    EXPECT_EQ(f.open(platform::kOpenRead), -1);  // empty path
    f.set_path(dir.file("missing"));
    EXPECT_EQ(f.open(platform::kOpenRead), -1);

    write_all(dir.file("a"), "old");
    f.set_path(dir.file("a"));
    ASSERT_EQ(f.open(platform::kOpenAppend), 0);
    EXPECT_EQ(f.write("+new"), 4);
    f.close();
    EXPECT_EQ(read_all(dir.file("a")), "old+new");

    ASSERT_EQ(f.open(platform::kOpenWrite), 0);
    EXPECT_EQ(f.write("x"), 1);
    f.close();
    EXPECT_EQ(read_all(dir.file("a")), "x");
    EXPECT_EQ(f.write("y"), -1);  // closed
    EXPECT_EQ(f.write(nullptr, 1), -1);
}

TEST(LocalFile, WriteLineAddsOneLineEnd) {
    TempDir dir;
    LocalFile f(dir.file("a"));
    ASSERT_EQ(f.open(platform::kOpenWrite), 0);
    f.write_line("a");
    f.write_line("b\n");
    f.write_line("c\r");
    f.write_line("");
    f.close();
    EXPECT_EQ(read_all(dir.file("a")), "a\r\nb\nc\r\r\n");
}

TEST(LocalFile, SeekRemainingAndLastWriteTime) {
    TempDir dir;
    write_all(dir.file("a"), "0123456789");
    LocalFile f(dir.file("a"));
    ASSERT_EQ(f.open(platform::kOpenAppend), 0);
    EXPECT_EQ(f.bytes_remaining(), 10);
    EXPECT_EQ(f.seek(4), 0);
    EXPECT_EQ(f.bytes_remaining(), 6);
    char buf[3];
    EXPECT_EQ(f.read(buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "456");
    uint64_t t = platform::filetime_from_unix(1000000000, 0);
    EXPECT_EQ(f.set_last_write_time(t), 0);
    EXPECT_EQ(f.last_write_time(), t);
    EXPECT_EQ(platform::path_last_write_time(dir.file("a")), t);
}

TEST(LocalFile, PathIsCutAtCapacity) {
    LocalFile f(std::string(1000, 'p'));
    EXPECT_EQ(f.path().size(), kWideTextCapacity);
}

}  // namespace
}  // namespace orvane
