// Machine listings (MLSD, MLST): exact facts, fact names in any case, names with spaces and
// semicolons, the folder and its parent left out, and malformed or oversized lines refused.
#include "client/transfer/text/machine_listing.h"

#include <gtest/gtest.h>

#include "client/transfer/text/listing_parser.h"
#include "common/limits.h"
#include "common/time_text.h"

namespace orvane {
namespace {

TEST(MachineListing, FactsAreExactAndTheNameIsEverythingAfterTheFirstSpace) {
    RemoteFileEntry e;
    ASSERT_EQ(parse_mlsd_line(
                  "Type=file;SIZE=5000000000;Modify=20240229235958.123;perm=r;unique=8a; a b;c=d.txt", e),
              0);
    EXPECT_EQ(e.name, "a b;c=d.txt");
    EXPECT_EQ(e.type, kEntryFile);
    EXPECT_EQ(e.size, 5000000000u) << "above 4 GiB, kept whole";
    EXPECT_EQ(e.size_text, "5000000000");
    EXPECT_EQ(e.time_text, "20240229235958");
    EXPECT_EQ(e.file_time, filetime_from_calendar({2024, 2, 29, 23, 59, 58}));
    EXPECT_EQ(e.exact, kExactSize | kExactTime);

    ASSERT_EQ(parse_mlsd_line("type=dir;sizd=4096;modify=20200101000000; sub", e), 0);
    EXPECT_EQ(e.type, kEntryFolder);
    EXPECT_EQ(e.size_text, "");
    EXPECT_EQ(e.exact, kExactTime);
    ASSERT_EQ(parse_mlsd_line("type=OS.unix=slink:/etc/passwd; link", e), 0);
    EXPECT_EQ(e.type, kEntryLink);
    EXPECT_EQ(e.exact, 0);

    // A fact that cannot be read gives no exact fact, never a wrong one.
    ASSERT_EQ(parse_mlsd_line("type=file;size=12x;modify=20230229000000; odd", e), 0);
    EXPECT_EQ(e.exact, 0);
    EXPECT_EQ(e.size, 0u);
    EXPECT_EQ(e.time_text, "");
    ASSERT_EQ(parse_mlsd_line("size=99999999999999999999;type=file; huge", e), 0);
    EXPECT_EQ(e.exact, 0) << "twenty digits do not fit";
}

TEST(MachineListing, TheFolderItsParentOtherTypesAndMalformedLinesAreNoEntries) {
    RemoteFileEntry e;
    for (const char* line :
         {"type=cdir;modify=20240101000000; /pub", "type=PDIR; ..", "type=OS.unix=chr-3/4; tty",
          "type=file;size=1;no-space-anywhere", "type=file;size=1 ", "type=file;size=1; ",
          "type=file;size=1 name", "type=file;=1; name", "novalue; name", ""})
        EXPECT_EQ(parse_mlsd_line(line, e), 1) << line;
    EXPECT_EQ(parse_mlsd_line("type=file; " + std::string(kPathCapacity + 1, 'n'), e), 1) << "would be cut";
    EXPECT_EQ(parse_mlsd_line("type=file; " + std::string(kPathCapacity, 'n'), e), 0);
    EXPECT_EQ(parse_mlsd_line(" facts-less", e), 0) << "no facts: a file with nothing exact";
    EXPECT_EQ(e.exact, 0);
}

TEST(MachineListing, StreamedListingsAndTheMlstReply) {
    RemoteListing listing;
    ListingStream stream(ListingStream::Kind::kMachine, ListingClock{2024, 1}, listing);
    const std::string text =
        "type=cdir; /d\r\ntype=pdir; /\r\ntype=file;size=3;modify=20200102030405; one\r\n"
        "type=dir;modify=20200102030405; two\r\nbroken\r\ntype=file;size=0; ..\r\n";
    stream.feed(text.data(), 20);
    stream.feed(text.data() + 20, text.size() - 20);
    stream.finish();
    EXPECT_EQ(stream.folder_id(), "") << "the cdir line has no unique fact";
    ASSERT_EQ(listing.size(), 2u);
    EXPECT_EQ(listing[0].name, "one");
    EXPECT_EQ(listing[0].exact, kExactSize | kExactTime) << "kept through the compact listing";
    EXPECT_EQ(listing[1].type, kEntryFolder);

    RemoteFileEntry e;
    EXPECT_EQ(
        parse_mlst_reply({"250-Listing f", " Type=file;Size=7;Modify=20200102030405; /pub/f", "250 End"}, e),
        0);
    EXPECT_EQ(e.name, "/pub/f");
    EXPECT_EQ(e.size, 7u);
    EXPECT_EQ(parse_mlst_reply({"250 nothing here"}, e), 1);
}

}  // namespace
}  // namespace orvane
