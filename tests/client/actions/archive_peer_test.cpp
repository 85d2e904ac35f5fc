// Archives against the real tools: what we write is checked by unzip and zipinfo, what zip, tar
// and gzip write is read by us and compared byte for byte; hostile archives made here stay inside.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>

#include "client/actions/archive_actions.h"
#include "common/log.h"
#include "tests/support/process.h"
#include "tests/support/tar_builder.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::random_bytes;
using test::read_all;
using test::TempDir;
using test::write_all;

struct Captured {
    std::vector<std::string> lines;
};
void capture(void* ctx, const char* text, int level, int) {
    static_cast<Captured*>(ctx)->lines.push_back(std::to_string(level) + " " + text);
}

// A shell command in `cwd`: its exit code and output.
test::ProcessResult sh(const std::string& command, const std::string& cwd) {
    return test::run_process("/bin/sh", {"-c", command}, {}, false, std::chrono::minutes(5), {}, cwd);
}

// Every regular file below `root` with its content, by relative path.
std::map<std::string, std::string> tree(const std::string& root) {
    std::map<std::string, std::string> files;
    for (auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) files[fs::relative(e.path(), root).string()] = read_all(e.path().string());
    return files;
}

void set_time(const std::string& path, time_t t) {
    fs::last_write_time(path, fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(t)));
}

time_t mtime_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

class Archives : public ::testing::Test {
  protected:
    void SetUp() override { set_output_sink(capture, &cap); }
    void TearDown() override { set_output_sink(nullptr, nullptr); }
    // A small tree: files in the folder and in two levels of subfolders, an empty folder.
    void make_tree(const std::string& root) {
        fs::create_directories(root + "/sub/deeper");
        fs::create_directories(root + "/empty");
        write_all(root + "/a.txt", "alpha\n");
        write_all(root + "/b.bin", random_bytes(300000, 7));
        write_all(root + "/sub/c.txt", std::string(100000, 'c'));
        write_all(root + "/sub/deeper/d.txt", "");
        set_time(root + "/a.txt", 1700000000);
    }
    Captured cap;
};

TEST_F(Archives, WrittenZipsPassUnzipAndZipinfo) {
    TempDir dir;
    make_tree(dir.file("reports"));
    std::string name = "stale";
    ASSERT_EQ(compress_action(dir.path(), "reports", &name), 0) << cap.lines.back();
    EXPECT_EQ(name, "reports.zip");
    EXPECT_EQ(cap.lines.front(), "101 Compressing reports ...");
    EXPECT_FALSE(fs::exists(dir.file("reports.zip.part")));
    auto t = sh("unzip -t reports.zip", dir.path());
    EXPECT_EQ(t.exit_code, 0) << t.output;
    // Breadth first, "/" between components, no member for folders (the empty one leaves none).
    auto list = sh("zipinfo -1 reports.zip", dir.path());
    std::vector<std::string> order;
    for (size_t at = 0; at < list.output.size();) {
        size_t end = list.output.find('\n', at);
        order.push_back(list.output.substr(at, end - at));
        at = end + 1;
    }
    ASSERT_EQ(order.size(), 4u) << list.output;
    std::sort(order.begin(), order.begin() + 2);
    EXPECT_EQ(order, (std::vector<std::string>{"reports/a.txt", "reports/b.bin", "reports/sub/c.txt",
                                               "reports/sub/deeper/d.txt"}));
    // The member's time is the file's local time.
    char expected[32];
    time_t when = 1700000000;
    struct tm local;
    localtime_r(&when, &local);
    strftime(expected, sizeof expected, "%Y%m%d.%H%M%S", &local);
    auto times = sh("zipinfo -T reports.zip reports/a.txt", dir.path());
    EXPECT_NE(times.output.find(expected), std::string::npos) << times.output;
    // Read back by us: the same tree, the time restored.
    fs::rename(dir.file("reports"), dir.file("original"));
    ASSERT_EQ(uncompress_action(dir.path(), "reports.zip"), 0) << cap.lines.back();
    EXPECT_EQ(tree(dir.file("reports")), tree(dir.file("original")));
    EXPECT_EQ(mtime_of(dir.file("reports/a.txt")), 1700000000);
    EXPECT_FALSE(fs::exists(dir.file("reports/empty")));
}

TEST_F(Archives, ArchiveNamesAndRefusals) {
    struct Case {
        const char* item;
        int result;
        const char* archive;  // "" when none may exist afterwards
        const char* name;     // the output variable afterwards
    };
    const Case cases[] = {
        {"x.txt", 0, "x.zip", "x.zip"},
        {"report.old.txt", 0, "report.old.zip", "report.old.zip"},
        {"noext", 0, "noext.zip", "noext.zip"},
        {"old.ZIP", kCompressIsZip, "", ""},
        {"missing.txt", 2, "", ""},
    };
    for (const Case& c : cases) {
        TempDir dir;
        if (std::string(c.item) != "missing.txt") write_all(dir.file(c.item), "data");
        std::string name = "stale";
        EXPECT_EQ(compress_action(dir.path(), dir.file(c.item), &name), c.result) << c.item;
        EXPECT_EQ(name, c.name) << c.item;
        size_t entries = std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator());
        if (*c.archive) {
            EXPECT_EQ(sh(std::string("unzip -Z1 ") + c.archive, dir.path()).output,
                      std::string(c.item) + "\n");
            EXPECT_EQ(entries, 2u) << c.item;
        } else {
            EXPECT_EQ(entries, std::string(c.item) == "missing.txt" ? 0u : 1u)
                << c.item;  // nothing left behind
            EXPECT_EQ(cap.lines.back().rfind("103 ERROR: Could not compress ", 0), 0u) << cap.lines.back();
        }
    }
    // Without the variable it works and stores the name nowhere.
    TempDir dir;
    write_all(dir.file("y.txt"), "y");
    EXPECT_EQ(compress_action(dir.path(), "y.txt", nullptr), 0);
    EXPECT_TRUE(fs::exists(dir.file("y.zip")));
    // "." and ".." are read as folders: the current folder is packed beside itself, not into itself.
    fs::create_directory(dir.file("sub"));
    write_all(dir.file("sub/f.txt"), "f");
    std::string name;
    EXPECT_EQ(compress_action(dir.file("sub"), ".", &name), 0) << cap.lines.back();
    EXPECT_EQ(name, "sub.zip");
    EXPECT_EQ(sh("unzip -Z1 sub.zip", dir.path()).output, "sub/f.txt\n");
    EXPECT_EQ(compress_action(dir.file("sub"), "../sub/./f.txt", &name), 0) << cap.lines.back();
    EXPECT_TRUE(fs::exists(dir.file("sub/f.zip")));
}

TEST_F(Archives, PeerArchivesAreReadByteForByte) {
    struct Case {
        const char* archive;
        const char* command;  // run in the source's folder, the source being "src"
    };
    const Case cases[] = {
        {"peer.zip", "zip -qr ../out/peer.zip src"},
        {"peer.tar.gz", "tar czf ../out/peer.tar.gz src"},
        {"peer.tgz", "tar czf ../out/peer.tgz src"},
        {"gnu.tar", "tar cf ../out/gnu.tar --format=gnu src"},
        {"pax.tar", "tar cf ../out/pax.tar --format=pax src"},
        {"ustar.tar", "tar cf ../out/ustar.tar --format=ustar src"},
    };
    TempDir dir;
    // Longer than a tar name field: GNU writes a long name, pax a path record, ustar splits it.
    std::string long_folder = std::string(90, 'f') + "/" + std::string(40, 'g');
    fs::create_directories(dir.file("in/src/" + long_folder));
    make_tree(dir.file("in/src"));
    write_all(dir.file("in/src/" + long_folder + "/" + std::string(60, 'h') + ".txt"), random_bytes(5000, 3));
    for (const Case& c : cases) {
        fs::remove_all(dir.file("out"));
        fs::create_directory(dir.file("out"));
        auto made = sh(c.command, dir.file("in"));
        ASSERT_EQ(made.exit_code, 0) << made.output;
        ASSERT_EQ(uncompress_action(dir.path(), std::string("out/") + c.archive), 0)
            << c.archive << ": " << cap.lines.back();
        EXPECT_EQ(tree(dir.file("out/src")), tree(dir.file("in/src"))) << c.archive;
        EXPECT_TRUE(fs::is_directory(dir.file("out/src/empty"))) << c.archive;
        EXPECT_EQ(mtime_of(dir.file("out/src/a.txt")), 1700000000) << c.archive;
    }
    // A single gzip file becomes the name without its extension.
    write_all(dir.file("single"), random_bytes(200000, 9));
    ASSERT_EQ(sh("gzip -k single && mkdir g && mv single.gz g/", dir.path()).exit_code, 0);
    ASSERT_EQ(uncompress_action(dir.path(), "g/single.gz"), 0);
    EXPECT_EQ(read_all(dir.file("g/single")), read_all(dir.file("single")));
    EXPECT_NE(uncompress_action(dir.path(), "g/a.rar"), 0);
}

TEST_F(Archives, DamagedArchivesFailAfterWritingWhatTheyCould) {
    TempDir dir;
    write_all(dir.file("data.txt"), std::string(5000, 'd'));
    // A stored member with one data byte changed: refused by its checksum, and not left on disk.
    ASSERT_EQ(sh("zip -q0 bad.zip data.txt && mkdir x && mv bad.zip x/", dir.path()).exit_code, 0);
    std::string zip = read_all(dir.file("x/bad.zip"));
    zip[30 + 8 + 100] ^= 0x20;  // inside the data after the local header and the name
    write_all(dir.file("x/bad.zip"), zip);
    EXPECT_NE(uncompress_action(dir.path(), "x/bad.zip"), 0);
    EXPECT_NE(cap.lines.back().find("data.txt cannot be read"), std::string::npos) << cap.lines.back();
    EXPECT_FALSE(fs::exists(dir.file("x/data.txt")));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("x")), fs::directory_iterator()), 1);
    // A truncated gzip is a failure, not a shorter file reported as success.
    ASSERT_EQ(sh("gzip -k data.txt && head -c 40 data.txt.gz > x/cut.gz", dir.path()).exit_code, 0);
    EXPECT_NE(uncompress_action(dir.path(), "x/cut.gz"), 0);
}

// Hostile archives: the statement fails naming the member, and nothing appears outside.
TEST_F(Archives, HostileArchivesStayInside) {
    auto zip_with = [](const std::string& path, const std::vector<std::string>& names) {
        archive* z = archive_write_new();
        archive_write_set_format_zip(z);
        archive_write_open_filename(z, path.c_str());
        for (const std::string& n : names) {
            archive_entry* e = archive_entry_new();
            archive_entry_set_pathname(e, n.c_str());
            archive_entry_set_filetype(e, AE_IFREG);
            archive_entry_set_perm(e, 0644);
            archive_entry_set_size(e, 4);
            archive_write_header(z, e);
            archive_write_data(z, "evil", 4);
            archive_entry_free(e);
        }
        archive_write_free(z);
    };
    struct Case {
        const char* what;
        std::string archive;  // file name inside dest
        std::string tar;      // tar bytes, or empty for a zip of `names`
        std::vector<std::string> names;
        const char* named;  // the member the message names
    };
    const Case cases[] = {
        {"zip slip", "slip.zip", "", {"ok.txt", "../evil.txt"}, "../evil.txt"},
        {"zip absolute", "abs.zip", "", {"/tmp/evil.txt"}, "/tmp/evil.txt"},
        {"zip backslashes, shown as the reader reads them", "back.zip", "", {"..\\evil.txt"}, "../evil.txt"},
        {"zip through a link", "link.zip", "", {"out/evil.txt"}, "out/evil.txt"},
        {"zip control characters", "ctl.zip", "", {"a\x1b[2Jb"}, "a\\x1b[2Jb"},
        {"tar slip", "slip.tar", test::tar_member("../evil.txt", "x") + test::tar_end(), {}, "../evil.txt"},
        {"tar link then a file through it",
         "link.tgz",
         test::tar_member("up", "", '2') + test::tar_member("out/evil.txt", "x") + test::tar_end(),
         {},
         "out/evil.txt"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        fs::create_directories(dir.file("dest"));
        fs::create_directories(dir.file("outside"));
        fs::create_directory_symlink("../outside", dir.file("dest/out"));
        if (c.tar.empty())
            zip_with(dir.file("dest/" + c.archive), c.names);
        else
            write_all(dir.file("dest/" + c.archive), c.tar);
        EXPECT_NE(uncompress_action(dir.path(), "dest/" + c.archive), 0) << c.what;
        EXPECT_NE(cap.lines.back().find(c.named), std::string::npos) << c.what << ": " << cap.lines.back();
        EXPECT_TRUE(fs::is_empty(dir.file("outside"))) << c.what;
        EXPECT_FALSE(fs::exists(dir.file("evil.txt"))) << c.what;
        EXPECT_FALSE(fs::exists("/tmp/evil.txt")) << c.what;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2) << c.what;
    }
}

// A member named like the archive itself, or like a fifo already in the destination, is refused
// (the archive would be truncated while read; opening a fifo would block); a fifo in a tree being
// packed is skipped.
TEST_F(Archives, NeitherTheArchiveNorAFifoIsWrittenOrRead) {
    TempDir dir;
    fs::create_directory(dir.file("x"));
    write_all(dir.file("x/self.tar"), test::tar_member("self.tar", "gone") + test::tar_end());
    EXPECT_NE(uncompress_action(dir.path(), "x/self.tar"), 0);
    EXPECT_NE(cap.lines.back().find("it is the archive being read"), std::string::npos) << cap.lines.back();
    EXPECT_EQ(fs::file_size(dir.file("x/self.tar")), 2048u);  // intact

    ASSERT_EQ(mkfifo(dir.file("x/pipe").c_str(), 0600), 0);
    write_all(dir.file("x/p.tar"), test::tar_member("pipe", "data") + test::tar_end());
    EXPECT_NE(uncompress_action(dir.path(), "x/p.tar"), 0);
    EXPECT_NE(cap.lines.back().find("cannot create pipe"), std::string::npos) << cap.lines.back();

    write_all(dir.file("x/file.txt"), "kept");
    ASSERT_EQ(compress_action(dir.path(), "x", nullptr), 0) << cap.lines.back();
    auto list = sh("zipinfo -1 x.zip", dir.path());
    EXPECT_EQ(list.output.find("x/pipe"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("x/file.txt"), std::string::npos) << list.output;
}

}  // namespace
}  // namespace orvane
