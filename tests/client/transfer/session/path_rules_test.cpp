// The path rules every request uses: remote and local joining and normalising, "..", and the local
// folder operations of the walks.
#include <gtest/gtest.h>

#include <filesystem>

#include "client/transfer/session/local_path.h"
#include "client/transfer/session/remote_path.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

TEST(PathRules, RemoteAndLocalJoinsNormaliseAndResolve) {
    struct Case {
        const char* path;
        const char* folder;
        const char* remote;  // join_remote_path
        const char* local;   // resolve_local_dots(join_local_path)
    };
    const Case cases[] = {
        {"docs", "/pub", "/pub/docs", "/pub/docs"},
        {"a//b\\c/", "", "/a/b/c", "a/b/c"},
        {"x", "/", "/x", "/x"},
        {"sub\\..\\file.txt", "/data", "/data/sub/../file.txt", "/data/file.txt"},
        {"/abs//p/", "/ignored", "/abs/p", "/abs/p"},
        {"//lead", "/f", "/lead", "/lead"},
        {" spaced name", "/f", "/f/ spaced name", "/f/ spaced name"},
        {"../../../up", "/a", "/a/../../../up", "/up"},
        {"./x/./y", "/a/", "/a/./x/./y", "/a/x/y"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(join_remote_path(c.path, c.folder), c.remote) << c.path;
        EXPECT_EQ(resolve_local_dots(join_local_path(c.path, c.folder)), c.local) << c.path;
    }
    EXPECT_EQ(normalize_local_path("\\\\server\\share\\"), "/server/share");
    EXPECT_EQ(normalize_local_path("/"), "/");
}

TEST(PathRules, LocalFoldersAreCreatedWithParentsEnteredAndListed) {
    test::TempDir dir;
    ASSERT_EQ(create_local_folder(dir.file("a")), 0);
    ASSERT_EQ(create_local_folder(dir.file("a\\b/c/")), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("a/b/c")));
    test::write_all(dir.file("a/b/file"), "12345");
    EXPECT_EQ(create_local_folder(dir.file("a/b/file/under")), 1) << "a file stands in the way";

    Session s;
    s.local_folder = dir.path();
    EXPECT_EQ(change_local_folder(s, "a/b/c/../.."), 0);
    EXPECT_EQ(s.local_folder, dir.file("a"));
    EXPECT_EQ(change_local_folder(s, "b/file"), 1);
    EXPECT_EQ(change_local_folder(s, "missing"), 1);
    EXPECT_EQ(s.local_folder, dir.file("a"));

    std::vector<RemoteFileEntry> entries;
    std::vector<std::string> special;
    uint64_t total = 0;
    ASSERT_EQ(list_local_folder(dir.file("a/b"), entries, total, special), 0);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(total, 5u);
    for (const RemoteFileEntry& e : entries) EXPECT_EQ(e.type, e.name == "c" ? kEntryFolder : kEntryFile);
    EXPECT_TRUE(special.empty());
    EXPECT_EQ(list_local_folder(dir.file("nothing"), entries, total, special), 1);
}

}  // namespace
}  // namespace orvane
