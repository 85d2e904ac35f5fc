// The rules of archive reading over untrusted bytes: member names, and the tar walk over headers,
// numbers, pax records, links and faults built here byte by byte.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "client/actions/archive_reader.h"
#include "client/actions/extract_target.h"
#include "client/actions/member_path.h"
#include "tests/support/tar_builder.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::read_all;
using test::tar_end;
using test::tar_header;
using test::tar_member;
using test::TempDir;
using test::write_all;

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

// A header with one field replaced and its checksum made right again.
std::string with_field(std::string header, size_t at, const std::string& field) {
    header.replace(at, field.size(), field);
    memset(&header[148], ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : header) sum += c;
    char number[8];
    snprintf(number, sizeof number, "%06o", sum);
    memcpy(&header[148], number, 7);
    return header;
}

// The tar walk over archives built here.
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
        {"links and devices skipped, never made",
         tar_member("l", "", '2') + tar_member("h", "", '1') + tar_member("dev", "", '3') +
             tar_member("after", "ok") + tar_end(),
         true,
         {{"after", "ok"}},
         {"l", "h", "dev"}},
        {"data after a device header is no header",
         tar_member("dev", "data", '3') + tar_end(),
         false,
         {},
         {"dev"}},
        // Every member is whole: read as GNU tar reads it.
        {"stops without its end block after a whole member",
         tar_member("first", "1") + tar_member("second", "22"),
         true,
         {{"first", "1"}, {"second", "22"}},
         {}},
        {"stops inside a member: nothing of it stays",
         tar_member("first", "1") + tar_header("cut", 2000) + std::string(600, 'x'),
         false,
         {{"first", "1"}},
         {"cut"}},
        {"size in base-256",
         with_field(tar_header("b256", 0), 124, std::string("\x80\0\0\0\0\0\0\0\0\0\0\x03", 12)) + "abc" +
             std::string(509, '\0') + tar_end(),
         true,
         {{"b256", "abc"}},
         {}},
        {"size not a number",
         with_field(tar_header("bad", 3), 124, "0000000008a") + "abc" + std::string(509, '\0') + tar_end(),
         false,
         {},
         {"bad"}},
        {"pax size and path",
         tar_member("PaxHeaders/x", "12 path=abc\n10 size=4\n", 'x') + tar_header("cut", 9) + "abcd" +
             std::string(508, '\0') + tar_end(),
         true,
         {{"abc", "abcd"}},
         {"cut"}},
        {"hard link to an earlier member is a copy; to anything else skipped",
         tar_member("orig", "same") + with_field(tar_header("copy", 0, '1'), 157, "orig") +
             with_field(tar_header("copy2", 0, '1'), 157, "missing") + tar_end(),
         true,
         {{"orig", "same"}, {"copy", "same"}},
         {"copy2"}},
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

TEST(TarWalk, MembersTypesAndFaults) {
    for (const TarCase& c : tar_cases()) {
        for (bool gzipped : {false, true}) {
            TempDir dir;
            std::filesystem::create_directory(dir.file("dest"));
            std::filesystem::create_directory(dir.file("outside"));
            write_all(dir.file("in.tar"), c.archive);
            if (gzipped) {
                ASSERT_EQ(system(("gzip -q " + dir.file("in.tar")).c_str()), 0);
            }
            ExtractTarget target;
            std::string cause;
            ASSERT_EQ(target.open(dir.file("dest"), cause), 0);
            int failed = extract_archive(dir.file(gzipped ? "in.tar.gz" : "in.tar"), ArchiveFormat::kTar, "",
                                         target, cause);
            EXPECT_EQ(failed == 0, c.ok) << c.what << " / " << gzipped << ": " << cause;
            if (!c.ok) {
                EXPECT_FALSE(cause.empty()) << c.what;
            }
            for (auto& [name, content] : c.files)
                EXPECT_EQ(read_all(dir.file("dest/" + name)), content) << c.what;
            for (auto& name : c.absent)
                EXPECT_FALSE(std::filesystem::exists(dir.file("dest/" + name))) << c.what;
            EXPECT_TRUE(std::filesystem::is_empty(dir.file("outside"))) << c.what;
            EXPECT_FALSE(std::filesystem::exists(dir.file("evil"))) << c.what;
            // No temporary file is left behind by a member that failed.
            for (auto& e : std::filesystem::recursive_directory_iterator(dir.file("dest")))
                EXPECT_EQ(e.path().filename().string().find(".orvane-"), std::string::npos) << c.what;
        }
    }
}

// The free-space reserve: 1% of a small file system, 256 MiB of a large one.
TEST(ExtractTarget, FreeSpaceReserve) {
    EXPECT_EQ(free_space_reserve(10ULL << 30), (10ULL << 30) / 100);
    EXPECT_EQ(free_space_reserve(1ULL << 40), 256ULL << 20);
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
    EXPECT_NE(target.create("out/evil", 0644, cause), 0);
    EXPECT_NE(target.make_folder("out/sub", cause), 0);
    EXPECT_NE(target.create("out", 0644, cause), 0);
    // A link that stays inside is followed.
    EXPECT_EQ(target.create("in/good", 0644, cause), 0) << cause;
    EXPECT_EQ(target.finish(0, cause), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.file("dest/inside/good")));
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("outside")));
}

}  // namespace
}  // namespace orvane
