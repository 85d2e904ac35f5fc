// The rules of archive reading over untrusted bytes: member names, tar numbers and pax records,
// and the tar extractor fed in pieces of every size.
#include <gtest/gtest.h>

#include <filesystem>

#include "client/actions/extract_target.h"
#include "client/actions/member_path.h"
#include "client/actions/tar_extractor.h"
#include "client/actions/tar_header.h"
#include "tests/support/tar_builder.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::read_all;
using test::tar_end;
using test::tar_header;
using test::tar_member;
using test::TempDir;

TEST(MemberPath, NamesBecomeRelativePathsOrAreRefused) {
    struct Case {
        const char* name;
        MemberPath kind;
        const char* relative;
    };
    const Case cases[] = {
        {"a.txt", MemberPath::kFile, "a.txt"},
        {"reports/sub/b.txt", MemberPath::kFile, "reports/sub/b.txt"},
        {"reports\\sub\\b.txt", MemberPath::kFile, "reports/sub/b.txt"},
        {"./x//y/./z", MemberPath::kFile, "x/y/z"},
        {"dir/", MemberPath::kFolder, "dir"},
        {"dir\\", MemberPath::kFolder, "dir"},
        {"./", MemberPath::kEmpty, ""},
        {"", MemberPath::kEmpty, ""},
        {"../evil", MemberPath::kUnsafe, ""},
        {"a/../../evil", MemberPath::kUnsafe, ""},
        {"a\\..\\evil", MemberPath::kUnsafe, ""},
        {"/etc/passwd", MemberPath::kUnsafe, ""},
        {"\\evil", MemberPath::kUnsafe, ""},
        {"C:\\evil", MemberPath::kUnsafe, ""},
        {"c:evil", MemberPath::kUnsafe, ""},
        {"a\x1b[31m", MemberPath::kUnsafe, ""},
        {"line\nbreak", MemberPath::kUnsafe, ""},
        {"caf\xc3\xa9.txt", MemberPath::kFile, "caf\xc3\xa9.txt"},
    };
    for (const Case& c : cases) {
        std::string relative = "stale";
        EXPECT_EQ(member_path(c.name, relative), c.kind) << c.name;
        if (c.kind != MemberPath::kUnsafe) {
            EXPECT_EQ(relative, c.relative) << c.name;
        }
    }
    std::string relative;
    EXPECT_EQ(member_path(std::string(390, 'a'), relative), MemberPath::kFile);
    EXPECT_EQ(member_path(std::string(391, 'a'), relative), MemberPath::kUnsafe);
    EXPECT_EQ(shown_member_name("a\x1b"), "a\\x1b");
}

TEST(TarHeader, NumbersInOctalAndBase256) {
    struct Case {
        std::string field;
        bool ok;
        uint64_t value;
    };
    const Case cases[] = {
        {"00000001750", true, 01750},
        {"  1750 \0\0\0\0\0", true, 01750},
        {std::string("\0\0\0\0", 4), true, 0},
        {"77777777777", true, 077777777777ULL},
        {"0000000008a", false, 0},
        {"12x4", false, 0},
        // Base-256: 5 GiB, and a negative number.
        {std::string("\x80\0\0\0\0\0\0\x01\x40\0\0\0", 12), true, 5368709120ULL},
        {std::string("\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff", 12), false, 0},
    };
    for (const Case& c : cases) {
        uint64_t v = 99;
        EXPECT_EQ(read_tar_number(reinterpret_cast<const uint8_t*>(c.field.data()), c.field.size(), v), c.ok)
            << c.field;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.field;
        }
    }
}

TEST(TarHeader, HeadersEndBlocksAndDamage) {
    TarHeader h;
    std::string block = tar_header("name.txt", 1234, '0', 1700000000, "the/prefix");
    ASSERT_EQ(read_tar_header(reinterpret_cast<const uint8_t*>(block.data()), h), TarBlockKind::kHeader);
    EXPECT_EQ(h.name, "the/prefix/name.txt");
    EXPECT_EQ(h.size, 1234u);
    EXPECT_EQ(h.mtime, 1700000000);
    EXPECT_EQ(h.type, '0');
    block[5] ^= 1;  // the checksum no longer matches
    EXPECT_EQ(read_tar_header(reinterpret_cast<const uint8_t*>(block.data()), h), TarBlockKind::kBad);
    std::string zero(512, '\0');
    EXPECT_EQ(read_tar_header(reinterpret_cast<const uint8_t*>(zero.data()), h), TarBlockKind::kEnd);
}

TEST(TarHeader, PaxRecords) {
    struct Case {
        std::string data;
        bool ok;
        const char* path;
        uint64_t size;
    };
    const Case cases[] = {
        {"29 path=a/very/long/name.txt\n", true, "a/very/long/name.txt", 0},
        {"19 size=5368709120\n"
         "12 path=abc\n",
         true, "abc", 5368709120ULL},
        {"22 mtime=1700000000.5\n", true, "", 0},
        {"99 path=x\n", false, "", 0},
        {"9 path=x\n", true, "x", 0},
        {"8 path=x\n", false, "", 0},
        {"x path=y\n", false, "", 0},
        {"11 size=-5\n", false, "", 0},
    };
    for (const Case& c : cases) {
        PaxValues v;
        EXPECT_EQ(read_pax_records(c.data, v), c.ok) << c.data;
        EXPECT_EQ(v.path, c.path) << c.data;
        EXPECT_EQ(v.size, c.size) << c.data;
    }
}

// The extractor over archives built here, fed in pieces of several sizes.
struct TarCase {
    const char* what;
    std::string archive;
    bool ok;
    std::vector<std::pair<std::string, std::string>> files;  // expected afterwards (name, content)
    std::vector<std::string> absent;
};

std::vector<TarCase> tar_cases() {
    std::string long_name = std::string(150, 'l') + "/" + std::string(120, 'n') + ".txt";
    std::string pax_path = "pax/" + std::string(200, 'p');
    std::string pax = std::to_string(pax_path.size() + 10) + " path=" + pax_path + "\n";  // 3 digits
    return {
        {"plain members, a folder, an empty file",
         tar_member("a.txt", "alpha") + tar_member("d/", "", '5') + tar_member("d/e.txt", "") + tar_end(),
         true,
         {{"a.txt", "alpha"}, {"d/e.txt", ""}},
         {}},
        {"GNU long name for the next member",
         tar_member("././@LongLink", long_name + std::string(1, '\0'), 'L') +
             tar_member("short", "long one") + tar_end(),
         true,
         {{long_name, "long one"}},
         {"short"}},
        {"pax path and a global header skipped",
         tar_member("g", "9 path=x\n", 'g') + tar_member("PaxHeaders/x", pax, 'x') +
             tar_member("cut", "pax one") + tar_end(),
         true,
         {{pax_path, "pax one"}},
         {"cut", "x"}},
        {"links and devices skipped by size, never made",
         tar_member("l", "", '2') + tar_member("h", "", '1') + tar_member("dev", "data", '3') +
             tar_member("after", "ok") + tar_end(),
         true,
         {{"after", "ok"}},
         {"l", "h", "dev"}},
        {"stops without its end block, what came before stays",
         tar_member("first", "1") + tar_member("second", "22"),
         false,
         {{"first", "1"}, {"second", "22"}},
         {}},
        {"stops inside a member",
         tar_member("first", "1") + tar_header("cut", 2000) + std::string(600, 'x'),
         false,
         {{"first", "1"}},
         {}},
        {"zip slip with ..",
         tar_member("ok", "1") + tar_member("../evil", "x") + tar_end(),
         false,
         {{"ok", "1"}},
         {}},
        {"absolute name", tar_member("/tmp/evil", "x") + tar_end(), false, {}, {}},
        {"control characters", tar_member("a\x1b]0;x\a", "x") + tar_end(), false, {}, {}},
        {"damaged header", tar_member("a", "1") + std::string(512, 'z') + tar_end(), false, {{"a", "1"}}, {}},
    };
}

TEST(TarExtractor, MembersTypesAndFaults) {
    for (const TarCase& c : tar_cases()) {
        for (size_t piece : {size_t{1}, size_t{511}, size_t{512}, size_t{4096}, size_t{1} << 20}) {
            TempDir dir;
            std::filesystem::create_directory(dir.file("dest"));
            std::filesystem::create_directory(dir.file("outside"));
            ExtractTarget target;
            std::string cause;
            ASSERT_EQ(target.open(dir.file("dest"), cause), 0);
            TarExtractor tar(target);
            const uint8_t* p = reinterpret_cast<const uint8_t*>(c.archive.data());
            int failed = 0;
            for (size_t at = 0; at < c.archive.size() && failed == 0; at += piece)
                failed = tar.feed(p + at, std::min(piece, c.archive.size() - at));
            if (failed == 0) failed = tar.finish();
            EXPECT_EQ(failed == 0, c.ok) << c.what << " / " << piece << ": " << tar.cause();
            if (!c.ok) {
                EXPECT_FALSE(tar.cause().empty()) << c.what;
            }
            for (auto& [name, content] : c.files)
                EXPECT_EQ(read_all(dir.file("dest/" + name)), content) << c.what;
            for (auto& name : c.absent)
                EXPECT_FALSE(std::filesystem::exists(dir.file("dest/" + name))) << c.what;
            EXPECT_TRUE(std::filesystem::is_empty(dir.file("outside"))) << c.what;
            EXPECT_FALSE(std::filesystem::exists(dir.file("evil"))) << c.what;
        }
    }
}

// The states a long-named member passes through, as the trace reports them.
TEST(TarExtractor, StateChangesAreTraced) {
    TempDir dir;
    ExtractTarget target;
    std::string cause;
    ASSERT_EQ(target.open(dir.path(), cause), 0);
    TarExtractor tar(target);
    std::string trace;
    tar.set_trace(
        [](void* context, TarState, TarState to) {
            *static_cast<std::string*>(context) += std::string(tar_state_name(to)) + ";";
        },
        &trace);
    std::string archive =
        tar_member("././@LongLink", std::string(120, 'n'), 'L') + tar_member("x", "data") + tar_end();
    ASSERT_EQ(tar.feed(reinterpret_cast<const uint8_t*>(archive.data()), archive.size()), 0);
    EXPECT_EQ(tar.finish(), 0);
    EXPECT_EQ(trace, "long name;skip data;header;file data;skip data;header;end;");
}

TEST(ExtractTarget, ALinkOutOfTheDestinationIsNeverFollowed) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("dest"));
    std::filesystem::create_directory(dir.file("dest/inside"));
    std::filesystem::create_directory(dir.file("outside"));
    std::filesystem::create_directory_symlink("../outside", dir.file("dest/out"));
    std::filesystem::create_directory_symlink("inside", dir.file("dest/in"));
    ExtractTarget target;
    std::string cause;
    ASSERT_EQ(target.open(dir.file("dest"), cause), 0);
    EXPECT_NE(target.create("out/evil", cause), 0);
    EXPECT_NE(target.make_folder("out/sub", cause), 0);
    EXPECT_NE(target.create("out", cause), 0);
    // A link that stays inside is followed.
    EXPECT_EQ(target.create("in/good", cause), 0) << cause;
    EXPECT_EQ(target.finish(0, cause), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.file("dest/inside/good")));
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("outside")));
}

}  // namespace
}  // namespace orvane
