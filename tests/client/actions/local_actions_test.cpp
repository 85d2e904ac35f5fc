// Local actions in memory and on a scratch folder: path resolution, timestamps, the script file
// slot, folder listing, deletion, copy and move.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "client/actions/local_copy.h"
#include "client/actions/local_folder.h"
#include "client/actions/local_paths.h"
#include "client/actions/script_file.h"
#include "client/actions/timestamp.h"
#include "common/log.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::read_all;
using test::TempDir;
using test::write_all;

// The lines written through the output sink while it lives.
struct Captured {
    std::vector<std::string> lines;
    Captured() { set_output_sink(take, this); }
    ~Captured() { set_output_sink(nullptr, nullptr); }
    static void take(void* self, const char* text, int, int) {
        static_cast<Captured*>(self)->lines.push_back(text);
    }
    std::string last() const { return lines.empty() ? std::string() : lines.back(); }
};

TEST(LocalPaths, ResolvedAndNormalised) {
    struct Case {
        const char* folder;
        const char* path;
        const char* resolved;
    };
    const Case cases[] = {
        {"/work", "data", "/work/data"},
        {"/work/", "data\\sub\\", "/work/data/sub"},
        {"/work", "\\data", "/data"},  // "\" is read as "/": absolute
        {"/work", "/a//b/./c/", "/a/b/c"},
        {"/work/x", "../y", "/work/y"},
        {"/work", "../../../..", "/"},
        {"/work", "a/../../etc", "/etc"},
        {"/work", "", "/work"},
        {"/", ".", "/"},
    };
    for (const Case& c : cases) EXPECT_EQ(resolve_local_path(c.folder, c.path), c.resolved) << c.path;
    EXPECT_EQ(normalize_path_text("a\\..\\..\\b"), "../b");
    EXPECT_TRUE(local_path_valid("/"));
    EXPECT_FALSE(local_path_valid("relative"));
    EXPECT_FALSE(local_path_valid("/" + std::string(400, 'a')));
}

CalendarTime at(int y, int mo, int d, int h = 10, int mi = 20, int s = 30) {
    CalendarTime t;
    t.year = y, t.month = mo, t.day = d, t.hour = h, t.minute = mi, t.second = s;
    return t;
}

TEST(Timestamps, ShiftsByUnitsAndMonthSteps) {
    struct Case {
        CalendarTime start;
        bool forward;
        TimeUnit unit;
        uint32_t n;
        const char* text;
    };
    const Case cases[] = {
        {at(2023, 1, 31), true, TimeUnit::kMonth, 1, "20230303102030"},   // January's 31 days
        {at(2024, 1, 31), true, TimeUnit::kMonth, 1, "20240302102030"},   // leap year
        {at(2024, 3, 31), false, TimeUnit::kMonth, 1, "20240229102030"},  // March's 31 days first
        {at(2024, 2, 29), true, TimeUnit::kYear, 1, "20250301102030"},    // 29+31+30+...: 366 days
        {at(2024, 2, 29), false, TimeUnit::kYear, 1, "20230228102030"},   // 29+31+31+...: 366 days back
        {at(2100, 2, 1), true, TimeUnit::kMonth, 1, "21000301102030"},    // 2100 is no leap year
        {at(2023, 12, 31, 23, 59, 59), true, TimeUnit::kSecond, 1, "20240101000000"},
        {at(2024, 3, 1, 0, 30, 0), false, TimeUnit::kHour, 1, "20240229233000"},
        {at(2024, 1, 1), true, TimeUnit::kWeek, 9, "20240304102030"},
        {at(2024, 1, 1), false, TimeUnit::kDay, 0, "20240101102030"},             // no shift
        {at(2024, 1, 1), true, TimeUnit::kYear, 4294967295u, "308271231235959"},  // stops at the limit
        {at(2024, 1, 1), false, TimeUnit::kWeek, 4294967295u, "16010101000000"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(time_text(shift_time(c.start, c.forward, c.unit, c.n)), c.text)
            << time_text(c.start) << " " << static_cast<int>(c.unit) << " " << c.n;
    EXPECT_EQ(local_timestamp(true, TimeUnit::kDay, 0).size(), 14u);
}

TEST(ScriptFile, OpenModesCreateOrFail) {
    TempDir dir;
    struct Case {
        ScriptFileMode mode;
        bool exists;
        int result;
        const char* content_after_write;  // after writing "x" (null: not opened)
    };
    const Case cases[] = {
        {ScriptFileMode::kRead, false, 1, nullptr},   {ScriptFileMode::kRead, true, 0, nullptr},
        {ScriptFileMode::kWrite, false, 0, "x\r\n"},  {ScriptFileMode::kWrite, true, 0, "x\r\n"},
        {ScriptFileMode::kAppend, false, 0, "x\r\n"}, {ScriptFileMode::kAppend, true, 0, "old\nx\r\n"},
    };
    for (const Case& c : cases) {
        std::string path = dir.file("f.txt");
        fs::remove(path);
        if (c.exists) write_all(path, "old\n");
        Captured out;
        ScriptFile file;
        ASSERT_EQ(file.open(c.mode, path), c.result) << static_cast<int>(c.mode) << c.exists;
        if (c.result != 0) {
            EXPECT_EQ(out.last(), "ERROR: Could not open file " + path + " (No such file or directory)");
            EXPECT_FALSE(fs::exists(path));
            continue;
        }
        if (!c.content_after_write) continue;
        EXPECT_EQ(file.write_line("x"), 0);
        file.close();
        EXPECT_EQ(read_all(path), c.content_after_write);
    }
    // A folder is no file; writing with nothing open fails with a message.
    Captured out;
    ScriptFile file;
    EXPECT_EQ(file.open(ScriptFileMode::kWrite, dir.path()), 1);
    EXPECT_EQ(file.write_line("x"), 1);
    EXPECT_EQ(out.last(), "ERROR: No file is open for writing");
}

TEST(ScriptFile, LinesWithEveryLineEndAndLongLinesSplit) {
    TempDir dir;
    const std::string long_line(4000, 'L');
    struct Case {
        const char* name;
        std::string content;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"lf", "one\ntwo\n\nthree", {"one", "two", "", "three"}},
        {"cr", "one\rtwo\r\rthree\r", {"one", "two", "", "three"}},
        {"crlf", "one\r\ntwo\r\n\r\nthree\r\n", {"one", "two", "", "three"}},
        {"lfcr", "one\n\rtwo\n\r\n\rthree", {"one", "two", "", "three"}},
        {"long",
         long_line + "\r\nend",
         {long_line.substr(0, 1560), long_line.substr(1560, 1560), long_line.substr(3120), "end"}},
        // A CR LF pair across the 8192-byte buffer's edge is one line end.
        {"edge", std::string(8191, 'a') + "\r\nb", {}},
        {"empty", "", {}},
    };
    for (const Case& c : cases) {
        write_all(dir.file(c.name), c.content);
        ScriptFile file;
        ASSERT_EQ(file.open(ScriptFileMode::kRead, dir.file(c.name)), 0);
        std::vector<std::string> got;
        std::string line;
        while (file.read_line(line) == 0) got.push_back(line);
        EXPECT_EQ(line, "");
        if (std::string(c.name) == "edge") {
            std::string joined;
            for (size_t i = 0; i + 1 < got.size(); ++i) joined += got[i];
            EXPECT_EQ(joined, std::string(8191, 'a'));
            EXPECT_EQ(got.back(), "b");
            continue;
        }
        EXPECT_EQ(got, c.lines) << c.name;
    }
}

TEST(ScriptFile, WriteLineAddsCrLfOnlyWhenMissing) {
    TempDir dir;
    ScriptFile file;
    ASSERT_EQ(file.open(ScriptFileMode::kWrite, dir.file("w.txt")), 0);
    for (const char* text : {"a", "", "b\r\n", "c\n"}) EXPECT_EQ(file.write_line(text), 0);
    file.close();
    EXPECT_EQ(read_all(dir.file("w.txt")), "a\r\n\r\nb\r\nc\n");
}

void set_mtime(const std::string& path, time_t seconds) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

TEST(LocalFolder, ListingEntriesHaveNameSizeAndUtcTime) {
    TempDir dir;
    write_all(dir.file("a.txt"), std::string(1234, 'x'));
    fs::create_directory(dir.file("sub"));
    set_mtime(dir.file("a.txt"), 1709210096);  // 2024-02-29 12:34:56 UTC
    set_mtime(dir.file("sub"), 0);
    Captured out;
    std::vector<LocalEntry> entries;
    ASSERT_EQ(local_get_list(dir.path(), entries), 0);
    EXPECT_EQ(out.last(), "Successfully obtained local folder listing");
    ASSERT_EQ(entries.size(), 2u);
    if (entries[0].name != "a.txt") std::swap(entries[0], entries[1]);
    EXPECT_EQ(entries[0].size, "1234");
    EXPECT_EQ(entries[0].modification_time, "20240229123456");
    EXPECT_FALSE(entries[0].is_folder);
    EXPECT_EQ(entries[1].name, "sub");
    EXPECT_EQ(entries[1].size, "");
    EXPECT_EQ(entries[1].modification_time, "19700101000000");
    EXPECT_TRUE(entries[1].is_folder);
    entries.clear();
    EXPECT_EQ(local_get_list(dir.file("missing"), entries), 1);
    EXPECT_EQ(out.last(), "ERROR: Could not obtain local folder listing (No such file or directory)");
}

TEST(LocalFolder, SetPathMakeFolderAndDelete) {
    TempDir dir;
    Captured out;
    std::string folder = dir.path();
    EXPECT_EQ(local_make_folder(folder, "a/b/c"), 0);
    EXPECT_EQ(out.last(), "Created local folder " + dir.file("a/b/c"));
    EXPECT_EQ(local_make_folder(folder, "a/b/c"), 0);  // existing: success all the same
    EXPECT_EQ(local_set_path(folder, "a\\b"), 0);
    EXPECT_EQ(out.last(), "Local  path: " + dir.file("a/b"));
    EXPECT_EQ(local_set_path(folder, "missing"), 1);
    EXPECT_EQ(out.last(), "ERROR: Could not set local path to " + dir.file("a/b/missing") +
                              " (No such file or directory)");
    EXPECT_EQ(folder, dir.file("a/b"));  // the old folder stays
    write_all(dir.file("file"), "x");
    EXPECT_EQ(local_make_folder(folder, "../../file/sub"), 1);
    EXPECT_EQ(out.last(), "ERROR: Could not create local folder " + dir.file("file/sub") +
                              " (Not a directory: " + dir.file("file") + ")");

    // Kinds must fit; the root is never deleted.
    EXPECT_EQ(local_delete(folder, false, dir.path() + "/a"), 1);
    EXPECT_EQ(local_delete(folder, true, "../../file"), 1);
    EXPECT_EQ(out.last(), "ERROR: Could not delete " + dir.file("file") + " (Not a directory)");
    EXPECT_EQ(local_delete(folder, true, "../../../../../../../.."), 1);
    EXPECT_EQ(out.last(), "Specified local path is invalid");
    EXPECT_EQ(local_delete(folder, false, "../../file"), 0);
    EXPECT_EQ(out.last(), "Deleted " + dir.file("file"));
}

TEST(LocalFolder, DeleteNeverFollowsLinksOutOfTheFolder) {
    TempDir dir;
    fs::create_directories(dir.file("outside/deep"));
    write_all(dir.file("outside/keep.txt"), "keep");
    fs::create_directories(dir.file("tree/sub"));
    write_all(dir.file("tree/sub/f"), "f");
    fs::create_directory_symlink(dir.file("outside"), dir.file("tree/sub/link"));
    fs::create_symlink(dir.file("outside/keep.txt"), dir.file("tree/file-link"));
    Captured out;
    EXPECT_EQ(local_delete(dir.path(), true, "tree"), 0);
    EXPECT_FALSE(fs::exists(dir.file("tree")));
    EXPECT_EQ(read_all(dir.file("outside/keep.txt")), "keep");
    EXPECT_TRUE(fs::exists(dir.file("outside/deep")));
    // A link named as the folder to delete is refused, not followed.
    fs::create_directory_symlink(dir.file("outside"), dir.file("alias"));
    EXPECT_EQ(local_delete(dir.path(), true, "alias"), 1);
    EXPECT_EQ(out.last(), "ERROR: Could not delete " + dir.file("alias") + " (Is a symbolic link)");
    EXPECT_TRUE(fs::exists(dir.file("outside/keep.txt")));
}

TEST(LocalCopy, WildcardsIntoAnExistingFolderAndBadRequests) {
    TempDir dir;
    for (const char* name : {"a.txt", "b.txt", "c.log", "[x].txt"}) write_all(dir.file(name), name);
    fs::create_directory(dir.file("d.txt"));  // folders never match a wildcard
    fs::create_directory(dir.file("into"));
    Captured out;
    EXPECT_EQ(local_transfer(LocalTransfer::kCopy, dir.path(), "*.txt", "into"), 0);
    EXPECT_EQ(out.last(), "Successfully copied local item " + dir.file("*.txt") + " to " + dir.file("into"));
    for (const char* name : {"a.txt", "b.txt", "[x].txt"})
        EXPECT_EQ(read_all(dir.file("into/") + name), name);
    EXPECT_FALSE(fs::exists(dir.file("into/c.log")));
    EXPECT_FALSE(fs::exists(dir.file("into/d.txt")));

    EXPECT_EQ(local_transfer(LocalTransfer::kMove, dir.path(), "?.log", "into/logs"),
              0);  // made when missing
    EXPECT_EQ(read_all(dir.file("into/logs/c.log")), "c.log");
    EXPECT_FALSE(fs::exists(dir.file("c.log")));

    // A single item: into an existing folder, or to a new name; a whole folder is copied.
    EXPECT_EQ(local_transfer(LocalTransfer::kMove, dir.path(), "a.txt", "into/logs"), 0);
    EXPECT_TRUE(fs::exists(dir.file("into/logs/a.txt")));
    EXPECT_EQ(local_transfer(LocalTransfer::kCopy, dir.path(), "into", "copy/of/into"), 0);
    EXPECT_EQ(read_all(dir.file("copy/of/into/logs/c.log")), "c.log");

    struct Bad {
        LocalTransfer kind;
        const char* from;
        const char* to;
        const char* cause;
    };
    const Bad bad[] = {
        {LocalTransfer::kCopy, "missing.txt", "into", "No such file or directory"},
        {LocalTransfer::kCopy, "*.none", "into", "no file matches *.none"},
        {LocalTransfer::kCopy, "into", "into/logs", "the destination is inside the source folder"},
        {LocalTransfer::kMove, "b.txt", "", "the source and the destination are the same item"},
    };
    for (const Bad& b : bad) {
        EXPECT_EQ(local_transfer(b.kind, dir.path(), b.from, b.to), 1) << b.from;
        EXPECT_NE(out.last().find(std::string("(") + b.cause + ")"), std::string::npos) << out.last();
        EXPECT_EQ(out.last().rfind("ERROR: Could not ", 0), 0u);
    }
    EXPECT_TRUE(fs::exists(dir.file("b.txt")));
}

}  // namespace
}  // namespace orvane
