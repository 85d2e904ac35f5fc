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

// Every regular file below `root` with its content, by relative path (links left out).
std::map<std::string, std::string> tree(const std::string& root) {
    std::map<std::string, std::string> files;
    for (auto& e : fs::recursive_directory_iterator(root))
        if (!e.is_symlink() && e.is_regular_file())
            files[fs::relative(e.path(), root).string()] = read_all(e.path().string());
    return files;
}

void set_time(const std::string& path, time_t t) {
    fs::last_write_time(path, fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(t)));
}

time_t mtime_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

mode_t mode_of(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// A name outside ASCII, as the tools write it (UTF-8).
const std::string kUnicodeName = "\xc3\xa9migr\xc3\xa9 \xe2\x9c\x93.txt";
constexpr time_t kOldTime = 157766400;      // 1975-01-01, before zip's DOS dates begin
constexpr time_t kFutureTime = 4102444800;  // 2100-01-01, past 32-bit signed seconds

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
    // What a user packs: a Unicode name, links to a sibling folder and to a file, an empty file,
    // old and future times, an executable.
    void make_mixed_tree(const std::string& root) {
        fs::create_directories(root + "/data");
        write_all(root + "/data/f.txt", "in data");
        fs::create_directory_symlink("data", root + "/alias");
        fs::create_symlink("data/f.txt", root + "/link.txt");
        write_all(root + "/" + kUnicodeName, "unicode");
        write_all(root + "/empty", "");
        write_all(root + "/old.txt", "old");
        set_time(root + "/old.txt", kOldTime);
        write_all(root + "/future.txt", "future");
        set_time(root + "/future.txt", kFutureTime);
        write_all(root + "/run.sh", "#!/bin/sh\n");
        fs::permissions(root + "/run.sh", fs::perms(0755));
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
    // A tree of nothing but a fifo packs nothing: a failure, and no archive.
    fs::create_directory(dir.file("only"));
    ASSERT_EQ(mkfifo(dir.file("only/pipe").c_str(), 0600), 0);
    EXPECT_EQ(compress_action(dir.path(), "only", nullptr), 9);
    EXPECT_NE(cap.lines.back().find("could be packed"), std::string::npos) << cap.lines.back();
    EXPECT_FALSE(fs::exists(dir.file("only.zip")));
}

// Our zip of the mixed tree through unzip, zipinfo and Python, and back through us; tar's and
// Python's tar archives of it (with a sparse file and a hard link added) through us.
TEST_F(Archives, MixedTreesRoundTripThroughPeers) {
    TempDir dir;
    make_mixed_tree(dir.file("proj"));
    ASSERT_EQ(compress_action(dir.path(), "proj", nullptr), 0) << cap.lines.back();
    auto t = sh("unzip -t proj.zip", dir.path());
    EXPECT_EQ(t.exit_code, 0) << t.output;
    auto info = sh("zipinfo proj.zip", dir.path());
    for (const char* line :
         {"lrwxrwxrwx  2.0 unx        4 bx stor", "-rwxr-xr-x  2.0 unx", "proj/data/f.txt"})
        EXPECT_NE(info.output.find(line), std::string::npos) << line << "\n" << info.output;
    EXPECT_NE(info.output.find("proj/alias"), std::string::npos) << info.output;
    // Python reads the UTF-8 name and the Unix modes.
    auto py =
        sh("python3 -c \"import zipfile,stat\n"
           "z=zipfile.ZipFile('proj.zip')\n"
           "for i in sorted(z.infolist(),key=lambda i:i.filename):\n"
           "  m=i.external_attr>>16\n"
           "  print(i.filename,oct(stat.S_IMODE(m)),'link' if stat.S_ISLNK(m) else z.read(i).decode())\"",
           dir.path());
    EXPECT_EQ(py.output,
              "proj/alias 0o777 link\nproj/data/f.txt 0o644 in data\nproj/empty 0o644 \nproj/future.txt "
              "0o644 future\n"
              "proj/link.txt 0o777 link\nproj/old.txt 0o644 old\nproj/run.sh 0o755 #!/bin/sh\n\n"
              "proj/" +
                  kUnicodeName + " 0o644 unicode\n");
    // unzip restores the links and the executable.
    ASSERT_EQ(sh("mkdir u && cd u && unzip -q ../proj.zip", dir.path()).exit_code, 0);
    EXPECT_EQ(tree(dir.file("u/proj")), tree(dir.file("proj")));
    EXPECT_TRUE(fs::is_symlink(dir.file("u/proj/alias")));
    // We restore files, modes and exact times; links are skipped with a warning each.
    fs::rename(dir.file("proj"), dir.file("orig"));
    ASSERT_EQ(uncompress_action(dir.path(), "proj.zip"), 0) << cap.lines.back();
    EXPECT_EQ(tree(dir.file("proj")), tree(dir.file("orig")));
    EXPECT_EQ(mode_of(dir.file("proj/run.sh")) & 0777, 0755u);
    EXPECT_EQ(mtime_of(dir.file("proj/old.txt")), kOldTime);
    EXPECT_EQ(mtime_of(dir.file("proj/future.txt")), kFutureTime);
    EXPECT_FALSE(fs::exists(dir.file("proj/alias")));
    EXPECT_EQ(std::count_if(
                  cap.lines.begin(), cap.lines.end(),
                  [](const std::string& l) { return l.find("Skipped the link proj/") != std::string::npos; }),
              2);

    // Tar archives of the tree with a sparse file (a hole at each end) and a hard link.
    fs::remove_all(dir.file("proj"));
    fs::rename(dir.file("orig"), dir.file("proj"));
    ASSERT_EQ(sh("truncate -s 12M proj/sparse.dat && printf middle | dd of=proj/sparse.dat bs=1 seek=5000000 "
                 "conv=notrunc 2>/dev/null && ln proj/data/f.txt proj/hard.txt",
                 dir.path())
                  .exit_code,
              0);
    auto without_sparse = tree(dir.file("proj"));
    without_sparse.erase("sparse.dat");
    struct Case {
        const char* archive;
        const char* command;
    };
    const Case cases[] = {
        {"gnu.tar", "tar cf out/gnu.tar --format=gnu --sparse proj"},
        {"pax.tgz", "tar czf out/pax.tgz --format=pax --sparse proj"},
        {"python.tar.gz",
         "python3 -c \"import tarfile;tarfile.open('out/python.tar.gz','w:gz').add('proj')\""},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir.file("out"));
        fs::create_directory(dir.file("out"));
        auto made = sh(c.command, dir.path());
        ASSERT_EQ(made.exit_code, 0) << made.output;
        ASSERT_EQ(uncompress_action(dir.path(), std::string("out/") + c.archive), 0)
            << c.archive << ": " << cap.lines.back();
        EXPECT_EQ(sh("cmp out/proj/sparse.dat proj/sparse.dat", dir.path()).exit_code, 0) << c.archive;
        fs::rename(dir.file("out/proj/sparse.dat"), dir.file("out/sparse.dat"));
        EXPECT_EQ(tree(dir.file("out/proj")), without_sparse) << c.archive;
        EXPECT_EQ(mode_of(dir.file("out/proj/run.sh")) & 0777, 0755u) << c.archive;
        EXPECT_EQ(mtime_of(dir.file("out/proj/future.txt")), kFutureTime) << c.archive;
    }
}

// A member we cannot read leaves nothing under its name, and the statement names it and why.
TEST_F(Archives, MembersWeCannotReadLeaveNothing) {
    TempDir dir;
    write_all(dir.file("a.txt"), std::string(3000, 'a'));
    ASSERT_EQ(sh("zip -q -Z bzip2 bz.zip a.txt && zip -q -P secret enc.zip a.txt && zip -q0 m9.zip a.txt",
                 dir.path())
                  .exit_code,
              0);
    // The stored member's method in the local and the central header made deflate64 (9).
    std::string m9 = read_all(dir.file("m9.zip"));
    m9[8] = 9;
    m9[m9.find("PK\x01\x02") + 10] = 9;
    write_all(dir.file("m9.zip"), m9);
    // A second directory entry "b.txt" for the same data: the overlap of zip bombs.
    std::string overlap = read_all(dir.file("m9.zip"));
    size_t directory = overlap.find("PK\x01\x02"), end = overlap.find("PK\x05\x06");
    std::string entry = overlap.substr(directory, end - directory);
    entry[entry.find("a.txt")] = 'b';
    std::string record = overlap.substr(end);
    record[8] = record[10] = 2;
    record[12] = static_cast<char>(2 * entry.size());
    write_all(dir.file("overlap.zip"), overlap.substr(0, end) + entry + record);
    struct Case {
        const char* archive;
        const char* says;  // "" when it extracts
    };
    const Case cases[] = {
        {"bz.zip", ""},  // bzip2 is a method the library knows: extracted exactly
        {"enc.zip", "the member a.txt is encrypted; not extracted"},
        {"m9.zip",
         "the member a.txt cannot be read (Unsupported ZIP compression method (9: deflation-64-bit))"},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir.file("x"));
        fs::create_directory(dir.file("x"));
        fs::copy_file(dir.file(c.archive), dir.file(std::string("x/") + c.archive));
        int result = uncompress_action(dir.path(), std::string("x/") + c.archive);
        if (!*c.says) {
            EXPECT_EQ(result, 0) << cap.lines.back();
            EXPECT_EQ(read_all(dir.file("x/a.txt")), read_all(dir.file("a.txt")));
            continue;
        }
        EXPECT_NE(result, 0) << c.archive;
        EXPECT_NE(cap.lines.back().find(c.says), std::string::npos) << cap.lines.back();
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("x")), fs::directory_iterator()), 1)
            << c.archive;
    }
}

}  // namespace
}  // namespace orvane
