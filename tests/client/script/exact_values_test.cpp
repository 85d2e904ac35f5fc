// Scripts act on exactly what they name, run through the program: a value cut at its limit is
// never used as a path or name, a program named with "/" is that file, copies and moves keep
// their times, and no value writes a raw line end into the log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::read_all;
using test::run_process;
using test::TempDir;
using test::write_all;

bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

// A folder below `base` whose path has exactly `length` characters (components stay under the
// file system's name limit).
std::string folder_of_length(const std::string& base, size_t length) {
    std::string path = base;
    char letter = 'A';
    while (path.size() < length) {
        size_t room = length - path.size() - 1;
        size_t take = room > 200 ? 150 : room;
        path += "/" + std::string(take, letter++);
    }
    fs::create_directories(path);
    return path;
}

// Each case builds ~target as the 390-character folder Q followed by more text: cut at 391
// characters it would be "Q/", which names Q itself (or, for a file, another file of Q).
TEST(ExactValues, CutPathsAreRefusedAndNothingIsDone) {
    TempDir dir;
    const std::string q = folder_of_length(dir.path(), 390);
    write_all(q + "/report.txt", "keep me");
    write_all(dir.file("other.txt"), "other");
    const std::string set_q =
        "setvar ~q \"" + q.substr(0, 200) + "\";\nstrprint ~q ~q \"" + q.substr(200) + "\";\n";
    struct Case {
        std::string script;
        const char* refusal;
    };
    const std::vector<Case> cases = {
        {"strprint ~t ~q \"/sub\";\nftpdelete local folder ~t;\n",
         "ftpdelete: parameter 3 is longer than 391"},
        {"strprint ~t ~q \"/report.txt.new\";\nfileopen write ~t;\n",
         "fileopen: parameter 2 is longer than 391"},
        {"strprint ~t ~q \"/x\";\nftpsetpath local ~t;\n", "ftpsetpath: parameter 2"},
        {"strprint ~t ~q \"/x\";\nftpcopylocal \"other.txt\" ~t;\n", "ftpcopylocal: parameter 2"},
        {"strprint ~t ~q \"/x\";\nftpmovelocal ~t \"moved\";\n", "ftpmovelocal: parameter 1"},
        {"strprint ~t ~q \"/x\";\nftprename local ~t \"renamed\";\n", "ftprename: parameter 2"},
        {"strprint ~t ~q \"/x\";\nftpcompress ~t;\n", "ftpcompress: parameter 1"},
        {"strprint ~t ~q \"/nothing.txt\";\nmailcreate \"a\" \"a@b\" \"s\" \"b\";\nmailattach ~t;\n",
         "mailattach: parameter 1"},
        // A literal too long for the lexer is cut there, and refused the same way.
        {"ftpdelete local file \"" + std::string(300, 'Q') + "/other.txt\";\n",
         "ftpdelete: parameter 3 is longer than 261"},
    };
    for (const Case& c : cases) {
        auto r = test::run_script_in(dir.path(), set_q + c.script);
        EXPECT_EQ(r.exit_code, 1) << c.script << r.output;
        EXPECT_TRUE(contains(r.output, std::string(" - ") + c.refusal)) << r.output;
        EXPECT_FALSE(contains(r.output, "Successfully attached")) << c.script << r.output;
        EXPECT_EQ(read_all(q + "/report.txt"), "keep me") << c.script;
        EXPECT_EQ(read_all(dir.file("other.txt")), "other") << c.script;
    }
    // A text that is cut is used, with one warning.
    auto r = test::run_script_in(dir.path(), set_q + "strprint ~t ~q \"/tail\";\nprint ~t;\nsetvar ~v ~t;\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output,
                         "Script Engine: Line 5: Warning: setvar: parameter 2 is longer than 391 "
                         "characters and was cut"))
        << r.output;
}

// Started in a folder whose path is over the limit, the script would work in a parent: it does
// not start.
TEST(ExactValues, StartingFolderOverTheLimitIsAnError) {
    TempDir dir;
    const std::string deep = folder_of_length(dir.path(), 394);
    write_all(deep + "/job.fscr", "ftpmakefolder local \"made\";\n");
    auto r = run_process(test::client_binary(), {"-script", "job.fscr"}, {}, false, std::chrono::seconds(30),
                         {}, deep);
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "is longer than 390 characters; the script cannot work in it"))
        << r.output;
    EXPECT_FALSE(fs::exists(deep + "/made"));
    EXPECT_FALSE(fs::exists(deep.substr(0, deep.rfind('/')) + "/made"));
}

// A fifo held open for reading and writing: a program's write never waits for a reader, and a
// read waits (at most ten seconds) for a line.
class Fifo {
  public:
    explicit Fifo(const std::string& path) {
        if (mkfifo(path.c_str(), 0600) == 0) fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK);
    }
    ~Fifo() {
        if (fd_ >= 0) close(fd_);
    }
    bool valid() const { return fd_ >= 0; }
    std::string line() {
        std::string text;
        pollfd p{fd_, POLLIN, 0};
        while (text.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
            char buffer[256];
            ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<size_t>(n));
        }
        return text;
    }

  private:
    int fd_ = -1;
};

TEST(ExactValues, ProgramNamedWithASlashIsThatFile) {
    TempDir dir;
    Fifo said(dir.file("said"));
    ASSERT_TRUE(said.valid());
    // A "date" of the script's folder and one only there: neither may be looked up on PATH.
    for (const char* name : {"date", "onlyhere"}) {
        write_all(dir.file(name), std::string("#!/bin/sh\necho local ") + name + " > said\n");
        chmod(dir.file(name).c_str(), 0755);
    }
    auto r = test::run_script_in(dir.path(), "ftprunprogram \"./date\" \"\";\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(said.line(), "local date\n");
    r = test::run_script_in(dir.path(),
                            "ftpmakefolder local \"sub\";\nftpsetpath local \"sub\";\n"
                            "ftprunprogram \"../onlyhere\" \"\";\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(said.line(), "local onlyhere\n");
}

int64_t mtime_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtim.tv_sec) : -1;
}

void set_mtime(const std::string& path, time_t when) {
    const struct timespec times[2] = {{when, 0}, {when, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Copies and moves keep modification times, also across file systems (/tmp to /dev/shm, where a
// move is a copy and a delete); a folder moved onto one of its name merges into it.
TEST(ExactValues, CopyAndMoveKeepTimesAndMerge) {
    struct stat tmp_st, shm_st;
    if (stat("/dev/shm", &shm_st) != 0 || !S_ISDIR(shm_st.st_mode)) GTEST_SKIP() << "no /dev/shm";
    TempDir dir;
    if (stat(dir.path().c_str(), &tmp_st) != 0 || tmp_st.st_dev == shm_st.st_dev)
        GTEST_SKIP() << "/dev/shm is on the same file system as " << dir.path();
    char shm_template[] = "/dev/shm/orvane-test-XXXXXX";
    ASSERT_NE(mkdtemp(shm_template), nullptr);
    const std::string shm = shm_template;
    const time_t old = 1000000000;  // 2001
    fs::create_directories(dir.file("tree/inner"));
    write_all(dir.file("tree/inner/a.txt"), "a");
    write_all(dir.file("file.txt"), "f");
    write_all(dir.file("moved.txt"), "m");
    for (const char* p : {"tree/inner/a.txt", "tree/inner", "tree", "file.txt", "moved.txt"})
        set_mtime(dir.file(p), old);
    // The destination already holds a "tree" with a file of its own: moving merges into it.
    fs::create_directories(shm + "/moved/tree");
    write_all(shm + "/moved/tree/theirs.txt", "t");

    auto r = test::run_script_in(dir.path(), "ftpcopylocal \"file.txt\" \"" + shm + "\";\n" +
                                                 "ftpcopylocal \"tree\" \"" + shm + "\";\n" +
                                                 "ftpmovelocal \"moved.txt\" \"" + shm + "\";\n" +
                                                 "ftpmovelocal \"tree\" \"" + shm + "/moved\";\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    for (const char* p : {"/file.txt", "/tree", "/tree/inner", "/tree/inner/a.txt", "/moved.txt",
                          "/moved/tree/inner/a.txt", "/moved/tree/inner"})
        EXPECT_EQ(mtime_of(shm + p), old) << p;
    EXPECT_EQ(read_all(shm + "/moved/tree/theirs.txt"), "t");
    EXPECT_FALSE(fs::exists(dir.file("tree")));
    EXPECT_FALSE(fs::exists(dir.file("moved.txt")));

    // On one file system a folder moved onto one of its name merges too.
    fs::create_directories(dir.file("a/box"));
    fs::create_directories(dir.file("b/box"));
    write_all(dir.file("a/box/one.txt"), "1");
    write_all(dir.file("b/box/two.txt"), "2");
    r = test::run_script_in(dir.path(), "ftpmovelocal \"a/box\" \"b\";\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_all(dir.file("b/box/one.txt")), "1");
    EXPECT_EQ(read_all(dir.file("b/box/two.txt")), "2");
    EXPECT_FALSE(fs::exists(dir.file("a/box")));
    std::error_code ec;
    fs::remove_all(shm, ec);
}

// A value holding a line end never forges a log line: the attachment, the certificate and the
// local folder are escaped like every other value.
TEST(ExactValues, LineEndsInValuesAreEscaped) {
    TempDir dir;
    const std::string forged = "x\nERROR: forged";
    fs::create_directories(dir.file(forged));
    auto r = test::run_script_in(dir.path(),
                                 "getenvvar ~p \"FORGE\";\n"
                                 "mailcreate \"a\" \"a@example.org\" \"s\" \"b\";\n"
                                 "mailattach ~p;\n"
                                 "certload ~p \"key.pem\";\n"
                                 "ftpconnectssl \"127.0.0.1\" 1 \"u\" \"p\";\n"
                                 "ftpsetpath local ~p;\n",
                                 {}, {"FORGE=" + forged});
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_FALSE(contains(r.output, "\nERROR: forged")) << r.output;
    EXPECT_TRUE(contains(r.output, "Could not attach file " + dir.path() + "/x\\x0aERROR: forged"))
        << r.output;
    EXPECT_TRUE(contains(r.output, "client certificate x\\x0aERROR: forged")) << r.output;
    EXPECT_TRUE(contains(r.output, "Local  path: " + dir.path() + "/x\\x0aERROR: forged")) << r.output;
}

// "(not displayed)" follows the parameter's role: a member reference in front (three tokens) once
// moved the mask onto the recipient's address or the proxy's port.
TEST(ExactValues, SecretsAreHiddenByTheirRole) {
    TempDir dir;
    write_all(dir.file("127.0.0.1"), "x");
    auto r =
        test::run_script_in(dir.path(),
                            "ftpgetlist local @l;\n"
                            "foreach $i in @l begin\n"
                            "  mailcreate \"a\" \"a@example.org\" \"s\" \"b\";\n"
                            "  mailsend $i.name 1 \"Ops\" \"ops@example.org\";\n"
                            "  proxyhttp $i.name 8080;\n"
                            "end\n"
                            "mailsend \"127.0.0.1\" 1 \"Ops\" \"ops@example.org\" \"robot\" \"Pw-4711\";\n"
                            "rungpg \"--version\" \"Pw-4712\";\n"
                            "ftpcustomcmd \"pass Pw-4713\";\n");
    for (const char* trace :
         {"mailsend. Parameter(s):  $i.name  1  \"Ops\"  \"ops@example.org\"\n",
          "proxyhttp. Parameter(s):  $i.name  8080\n",
          "mailsend. Parameter(s):  \"127.0.0.1\"  1  \"Ops\"  \"ops@example.org\"  \"robot\"  "
          "(not displayed)\n",
          "rungpg. Parameter(s):  \"--version\"  (not displayed)\n",
          "ftpcustomcmd. Parameter(s):  (not displayed)\n"})
        EXPECT_TRUE(contains(r.output, trace)) << trace << r.output;
    EXPECT_FALSE(contains(r.output, "Pw-47")) << r.output;
}

}  // namespace
}  // namespace orvane
