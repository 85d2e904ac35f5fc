// Listing parser: the three layouts, sizes, names with spaces, links, long lines, dates.
#include "client/transfer/text/listing_parser.h"

#include <gtest/gtest.h>

#include "common/time_text.h"

namespace orvane {
namespace {

const ListingClock kJuly2024{2024, 7};

RemoteFileEntry parse_ok(std::string_view line, ListingClock clock = kJuly2024) {
    RemoteFileEntry e;
    EXPECT_EQ(parse_list_line(line, clock, e), 0) << line;
    return e;
}

uint64_t ft(int y, int mo, int d, int h, int mi) {
    return filetime_from_calendar({y, mo, d, h, mi, 0});
}

TEST(ListingParser, UnixFolderYearFromTheClock) {
    const char* line = "drwxr-xr-x   2 owner group     4096 Mar  3 12:30 docs";
    RemoteFileEntry e = parse_ok(line);
    EXPECT_EQ(e.name, "docs");
    EXPECT_EQ(e.type, kEntryFolder);
    EXPECT_EQ(e.size_text, "");
    EXPECT_EQ(e.time_text, "20240303123000");
    EXPECT_EQ(e.file_time, ft(2024, 3, 3, 12, 30));
    // Read in January or February, a March time belongs to the year before.
    EXPECT_EQ(parse_ok(line, {2024, 2}).time_text, "20230303123000");
    EXPECT_EQ(parse_ok(line, {2024, 3}).time_text, "20240303123000");
}

TEST(ListingParser, UnixFileWithYearSizeAndInnerSpaces) {
    RemoteFileEntry e = parse_ok("-rw-r--r--    1 0        0          123456 jan 05  2019   my  file.txt ");
    EXPECT_EQ(e.type, kEntryFile);
    EXPECT_EQ(e.name, "my  file.txt ");
    EXPECT_EQ(e.size, 123456u);
    EXPECT_EQ(e.size_text, "123456");
    EXPECT_EQ(e.time_text, "20190105000000");
}

TEST(ListingParser, UnixWithoutGroupColumnAndCommas) {
    RemoteFileEntry e = parse_ok("-rw-r--r-- 1 owner 1,234 Dec 31 23:59 a b.txt");
    EXPECT_EQ(e.name, "a b.txt");
    EXPECT_EQ(e.size, 1234u);
    EXPECT_EQ(e.size_text, "1234");
    EXPECT_EQ(e.time_text, "20231231235900");  // December read in July: the year before
}

TEST(ListingParser, UnixLinkCutBeforeArrow) {
    RemoteFileEntry e = parse_ok("lrwxrwxrwx 1 root root 12 Jun 1 2020 current -> releases/2.0");
    EXPECT_EQ(e.type, kEntryLink);
    EXPECT_EQ(e.name, "current");
    EXPECT_EQ(e.size_text, "");
    // A file whose name holds an arrow keeps it: only links are cut.
    EXPECT_EQ(parse_ok("-rw-r--r-- 1 u g 1 Jun 1 2020 a -> b").name, "a -> b");
}

TEST(ListingParser, SizesAbove32BitsStayWhole) {
    RemoteFileEntry e = parse_ok("-rw-r--r-- 1 u g 5000000000 Jun 1 2020 big.iso");
    EXPECT_EQ(e.size, 5000000000ULL);
    EXPECT_EQ(e.size32(), 4294967295u);
    EXPECT_EQ(e.size_text, "5000000000");
    // Beyond 64 bits the value saturates; the text keeps its capacity.
    e = parse_ok("-rw-r--r-- 1 u g 99999999999999999999999999999999999999 Jun 1 2020 huge");
    EXPECT_EQ(e.size, UINT64_MAX);
    EXPECT_EQ(e.size_text.size(), RemoteFileEntry::kSizeTextCapacity);
}

TEST(ListingParser, UnixLinesNotRecognised) {
    RemoteFileEntry e;
    for (const char* line : {"total 12", "drwxr-xr-x 2 owner group", "-rw-r--r-- 1 u g x Jun 1 2020 n",
                             "-rw-r--r-- 1 u g 10 Jun 1 2020", "-rw-r--r-- 1 u g 10 Jun 1 2020   ",
                             "crw-rw---- 1 root tty 4, 0 Jan 1 2020 tty0", ""})
        EXPECT_EQ(parse_list_line(line, kJuly2024, e), 1) << line;
}

TEST(ListingParser, DosLayouts) {
    RemoteFileEntry d = parse_ok("05-17-05  02:47PM       <DIR>          docs");
    EXPECT_EQ(d.type, kEntryFolder);
    EXPECT_EQ(d.name, "docs");
    EXPECT_EQ(d.time_text, "20050517144700");
    EXPECT_EQ(d.size_text, "");

    RemoteFileEntry f = parse_ok("12/31/99  11:59 PM                  100 my file.txt");
    EXPECT_EQ(f.type, kEntryFile);
    EXPECT_EQ(f.size, 100u);
    EXPECT_EQ(f.name, "my file.txt");
    EXPECT_EQ(f.time_text, "19991231235900");

    // 12 AM is midnight, 12 PM noon; four-digit years as written; 24-hour times without AM/PM.
    EXPECT_EQ(parse_ok("01-02-2010  12:05AM 7 a").time_text, "20100102000500");
    EXPECT_EQ(parse_ok("01-02-2010  12:05PM 7 a").time_text, "20100102120500");
    EXPECT_EQ(parse_ok("01-02-2010  17:05 <DIR> a").time_text, "20100102170500");
    // A folder followed by a single space still gives its whole name.
    EXPECT_EQ(parse_ok("01-02-2010  12:05PM <DIR> documentation").name, "documentation");
}

TEST(ListingParser, DosLinesNotRecognised) {
    RemoteFileEntry e;
    for (const char* line : {"05-17-05  02:47PM", "05.17.05  02:47PM <DIR> x", "05-17-05 0247PM <DIR> x",
                             "05-17-05  02:47 PM", "05-17-05  02:47PM name only", "05-17-05  02:47PM 12"})
        EXPECT_EQ(parse_list_line(line, kJuly2024, e), 1) << line;
    // A date that is no real day keeps the entry but gives it no time.
    RemoteFileEntry bad = parse_ok("13-45-05  02:47PM 12 x");
    EXPECT_EQ(bad.time_text, "");
    EXPECT_EQ(bad.file_time, 0u);
}

TEST(ListingParser, Eplf) {
    RemoteFileEntry d = parse_ok("+i8388621.29609,m824255902,/,\tdir");
    EXPECT_EQ(d.type, kEntryFolder);
    EXPECT_EQ(d.name, "dir");
    EXPECT_EQ(d.time_text, "19960213235822");
    RemoteFileEntry f = parse_ok("+i8388621.44468,m839956783,r,s280,\tfile, with comma.txt");
    EXPECT_EQ(f.type, kEntryFile);
    EXPECT_EQ(f.size, 280u);
    EXPECT_EQ(f.size_text, "280");
    EXPECT_EQ(f.name, "file, with comma.txt");
    RemoteFileEntry e;
    EXPECT_EQ(parse_list_line("+i1,r,s5", kJuly2024, e), 1);       // no name
    EXPECT_EQ(parse_list_line("+r,s5,\t", kJuly2024, e), 1);       // empty name
    EXPECT_EQ(parse_ok("+m99999999999999999,\tx").time_text, "");  // a time out of range is dropped
}

TEST(ListingParser, WholeListing) {
    std::string listing =
        "total 12\r\n"
        "drwxr-xr-x 2 u g 4096 Mar 3 12:30 .\r\n"
        "drwxr-xr-x 2 u g 4096 Mar 3 12:30 ..\n"
        "-rw-r--r-- 1 u g 10 Mar 3 12:30 one\r"
        "\r\n"
        "garbage line\n"
        "-rw-r--r-- 1 u g 10 Mar 3 12:30 " +
        std::string(400, 'x') +
        "\r\n"
        "05-17-05  02:47PM <DIR> two\n"
        "+r,s1,\tthree";  // the last line may come without its line end
    std::vector<RemoteFileEntry> out;
    EXPECT_EQ(parse_list(listing, kJuly2024, out), 0);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].name, "one");
    EXPECT_EQ(out[1].name, "two");
    EXPECT_EQ(out[2].name, "three");
}

TEST(ListingParser, LineLengthLimit) {
    std::string prefix = "-rw-r--r-- 1 u g 10 Mar 3 12:30 ";
    std::vector<RemoteFileEntry> out;
    parse_list(prefix + std::string(kLineCapacity - prefix.size(), 'a') + "\r\n", kJuly2024, out);
    parse_list(prefix + std::string(kLineCapacity - prefix.size() + 1, 'b') + "\r\n", kJuly2024, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].name.size(), kLineCapacity - prefix.size());
}

TEST(ListingParser, Nlst) {
    std::vector<RemoteFileEntry> out;
    parse_nlst("a.txt\r\n\r\nsub dir\nlast", out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1].name, "sub dir");
    EXPECT_EQ(out[2].name, "last");
    EXPECT_EQ(out[2].type, kEntryFile);
    EXPECT_EQ(out[2].size, 0u);
    EXPECT_EQ(out[2].time_text, "");
}

TEST(TimeText, CalendarRoundTripsAndLimits) {
    CalendarTime t;
    ASSERT_TRUE(calendar_from_unix(0, t));
    EXPECT_EQ(time_text(t), "19700101000000");
    ASSERT_TRUE(calendar_from_unix(951782400, t));  // the leap day of 2000
    EXPECT_EQ(time_text(t), "20000229000000");
    ASSERT_TRUE(calendar_from_unix(-1, t));
    EXPECT_EQ(time_text(t), "19691231235959");
    EXPECT_EQ(filetime_from_calendar({1601, 1, 1, 0, 0, 0}), 0u);  // the epoch itself
    EXPECT_EQ(time_text(calendar_from_filetime(filetime_from_calendar({2038, 1, 19, 3, 14, 8}))),
              "20380119031408");
    EXPECT_FALSE(calendar_valid({2023, 2, 29, 0, 0, 0}));
    EXPECT_FALSE(calendar_valid({2024, 257, 1, 0, 0, 0})) << "not January by a byte's wrap";
    EXPECT_TRUE(calendar_valid({2024, 2, 29, 23, 59, 59}));
    EXPECT_FALSE(calendar_valid({2024, 1, 1, 24, 0, 0}));
}

}  // namespace
}  // namespace orvane
