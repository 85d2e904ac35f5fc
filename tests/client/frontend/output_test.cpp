// The log channel: tags, line-end flag, timestamps, rollover; and the level tables.
#include "client/frontend/output.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::read_all;
using test::TempDir;
using test::write_all;

class LogChannel : public ::testing::Test {
  protected:
    void SetUp() override { install_standard_output(); }
    void TearDown() override { shutdown_output(); }
    void open_log(uint32_t rollover = 0, bool append = false, bool timestamps = false) {
        OutputSettings s;
        s.log_file = dir.file("x.log");
        s.rollover = rollover;
        s.append = append;
        s.timestamps = timestamps;
        ASSERT_EQ(initialise_output(s), 0);
    }
    TempDir dir;
};

TEST_F(LogChannel, TagsPerLevelAndPromptJoinsItsLine) {
    open_log();
    output("info", kLevelInfo);
    output("warn", kLevelWarning);
    output("err", kLevelError);
    output("USER x", kLevelCommand);
    output("331 ok", kLevelResponse);
    output("other", 7);
    output("fendrel> ", kLevelInfo, 0);
    output("typed", kLevelError, 1);
    output("ends\n", kLevelInfo);
    output("", kLevelInfo);
    output("big.bin  1.0 MiB  50%", kLevelProgress, 0);  // a terminal's alone: never logged
    shutdown_output();
    EXPECT_EQ(read_all(dir.file("x.log")),
              "[   ] info\r\n[WRN] warn\r\n[ERR] err\r\n[CMD] USER x\r\n[RSP] 331 ok\r\n[   ] other\r\n"
              "[   ] fendrel> typed\r\n[   ] ends\n[   ] \r\n");
}

TEST_F(LogChannel, TimestampsOnEveryLine) {
    open_log(0, false, true);
    output("a", kLevelInfo);
    output("b", kLevelWarning);
    shutdown_output();
    std::string log = read_all(dir.file("x.log"));
    std::regex line(R"(\d{1,2}/\d{1,2}/\d{4} \d{1,2}:\d\d:\d\d (AM|PM): \[   \] a\r\n)"
                    R"(\d{1,2}/\d{1,2}/\d{4} \d{1,2}:\d\d:\d\d (AM|PM): \[WRN\] b\r\n)");
    EXPECT_TRUE(std::regex_match(log, line)) << log;
}

TEST(LogTimestamp, TwelveHourClock) {
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(log_timestamp(0), "1/1/1970 12:00:00 AM");
    EXPECT_EQ(log_timestamp(12 * 3600 + 5), "1/1/1970 12:00:05 PM");
    EXPECT_EQ(log_timestamp(13 * 3600 + 61), "1/1/1970 1:01:01 PM");
    EXPECT_EQ(log_timestamp(1765000000), "12/6/2025 5:46:40 AM");
}

TEST_F(LogChannel, RolloverKeepsHalfTheLimit) {
    open_log(1000);
    std::string all;
    for (int i = 0; i < 200; ++i) {
        std::string text = "line " + std::to_string(i);
        output(text, kLevelInfo);
        all += "[   ] " + text + "\r\n";
        if (all.size() > 1000) break;
    }
    shutdown_output();
    std::string expect =
        "Rolled file (rollover size was set to 1000 bytes)\r\n" + all.substr(all.size() - 500);
    EXPECT_EQ(read_all(dir.file("x.log")), expect);
}

TEST_F(LogChannel, RolloverKeepsAtMostTheCap) {
    std::string old(3000100, 'o');
    for (size_t i = 0; i < old.size(); i += 97) old[i] = static_cast<char>('a' + (i / 97) % 26);
    write_all(dir.file("x.log"), old);
    open_log(3000000, true);
    output("z", kLevelInfo);
    shutdown_output();
    std::string all = old + "[   ] z\r\n";
    std::string expect =
        "Rolled file (rollover size was set to 3000000 bytes)\r\n" + all.substr(all.size() - 1024000);
    std::string got = read_all(dir.file("x.log"));
    EXPECT_EQ(got.size(), expect.size());
    EXPECT_TRUE(got == expect);
}

TEST_F(LogChannel, UnopenableLogLeavesTheConsole) {
    OutputSettings s;
    s.log_file = dir.file("no/such/folder/x.log");
    EXPECT_EQ(initialise_output(s), 1);  // reported on the console, which keeps the output
    output("still here", kLevelError);
    shutdown_output();
    EXPECT_FALSE(std::filesystem::exists(dir.file("no")));
}

// Server text never carries a control character into the log: tab and our own line ends apart,
// each is written as \xNN; a command or reply cannot even start a line of its own.
TEST_F(LogChannel, ControlCharactersAreEscaped) {
    open_log();
    output("220 \x1b]0;owned\x07 hi\tthere\r\n[ERR] forged", kLevelResponse);
    output("RETR a\bb", kLevelCommand);
    output("257 \"/\x1b[2J\"\r\n", kLevelResponse);
    output("two\nlines\x9b", kLevelInfo);
    output(
        "csi \xc2\x9b"
        "1m",
        kLevelWarning);
    shutdown_output();
    EXPECT_EQ(read_all(dir.file("x.log")),
              "[RSP] 220 \\x1b]0;owned\\x07 hi\tthere\\x0d\\x0a[ERR] forged\r\n"
              "[CMD] RETR a\\x08b\r\n"
              "[RSP] 257 \"/\\x1b[2J\"\r\n"
              "[   ] two\nlines\x9b\r\n"
              "[WRN] csi \\xc2\\x9b1m\r\n");
}

TEST_F(LogChannel, LinesFromManyThreadsNeverInterleave) {
    open_log();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) output(std::string(50, static_cast<char>('a' + t)), kLevelInfo);
        });
    for (auto& th : threads) th.join();
    shutdown_output();
    std::string log = read_all(dir.file("x.log"));
    size_t pos = 0, lines = 0;
    while (pos < log.size()) {
        size_t end = log.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        std::string l = log.substr(pos, end - pos);
        ASSERT_EQ(l.size(), 56u);
        EXPECT_EQ(l.substr(6), std::string(50, l[6]));
        pos = end + 2;
        ++lines;
    }
    EXPECT_EQ(lines, 2000u);
}

TEST(OutputTables, AttributesAndTags) {
    EXPECT_EQ(level_attribute(kLevelInfo), 11);
    EXPECT_EQ(level_attribute(kLevelWarning), 14);
    EXPECT_EQ(level_attribute(kLevelError), 12);
    EXPECT_EQ(level_attribute(kLevelCommand), 9);
    EXPECT_EQ(level_attribute(kLevelResponse), 10);
    // A reply's colour follows its class: refusals look like errors.
    EXPECT_EQ(level_attribute(kLevelResponse, "226 Transfer complete."), 10);
    EXPECT_EQ(level_attribute(kLevelResponse, "350 Restarting"), 10);
    EXPECT_EQ(level_attribute(kLevelResponse, "450 Busy"), 12);
    EXPECT_EQ(level_attribute(kLevelResponse, "550 No such file"), 12);
    EXPECT_EQ(level_attribute(kLevelData), 11);
    EXPECT_EQ(level_attribute(99), 0);
    for (int l = 100; l <= 107; ++l) EXPECT_EQ(std::string(level_tag(l)).size(), 6u);
}

}  // namespace
}  // namespace orvane
