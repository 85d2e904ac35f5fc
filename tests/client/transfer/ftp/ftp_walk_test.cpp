// Folder walks over FTP: exact transcripts against a scripted server (delete order, a missing upload
// folder, hostile listed names, a failing file), and whole trees up, down and deleted against real
// vsftpd and pyftpdlib, passive and active.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "client/transfer/session/duplicate_rules.h"
#include "common/log.h"
#include "platform/file.h"
#include "tests/client/transfer/ftp/ftp_server_modes.h"
#include "tests/client/transfer/ftp/ftp_session_harness.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::folder_pair;
using test::FtpServer;
using test::FtpServerKind;
using test::ScriptedFtpServer;

const std::string kLogin =
    "> 220 scripted\n< USER u\n> 331 need password\n< PASS p\n> 230 in\n< PWD\n> 257 \"/\" is current\n";
// The first walk of a connection asks what the server offers.
const std::string kNoFeatures = "< FEAT\n> 502 not implemented\n";

std::string enter(const std::string& path) {
    return "< CWD " + path + "\n> 250 ok\n< PWD\n> 257 \"" + path + "\"\n";
}
// A transfer walk names each folder by its full path: CWD alone.
std::string cwd(const std::string& path) {
    return "< CWD " + path + "\n> 250 ok\n";
}
std::string up(const std::string& to) {
    return "< CDUP\n> 250 ok\n< PWD\n> 257 \"" + to + "\"\n";
}
// A listing; TYPE A goes out only when the connection's type was another (or not yet set).
std::string list(const std::string& lines, bool type = true) {
    return std::string(type ? "< TYPE A\n> 200 ascii\n" : "") +
           "< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n< LIST\n> 150 here\n"
           "data-send " +
           lines + "\n> 226 done\n";
}
std::string file_line(const std::string& name, int size = 5) {
    return "-rw-r--r-- 1 u g " + std::to_string(size) + " Jan 1 2020 " + name + "\\r\\n";
}
std::string folder_line(const std::string& name) {
    return "drwxr-xr-x 2 u g 4096 Jan 1 2020 " + name + "\\r\\n";
}

int transfer(test::FtpSessionHarness& h, std::vector<TransferPair> pairs) {
    DuplicateRules rules;
    return h.run([&](DoneCallback d, int c, void* o) {
        return request_transfer_list(h.s(), pairs, rules, rules, d, c, o);
    });
}
int remove_tree(test::FtpSessionHarness& h, const std::string& path) {
    RemoteFileEntry e;
    e.full_path = path;
    e.type = kEntryFolder;
    return h.run([&](DoneCallback d, int c, void* o) { return request_delete_list(h.s(), {e}, d, c, o); });
}

struct Scripted {
    ScriptedFtpServer server;
    test::FtpSessionHarness h;
    test::TempDir dir;
    explicit Scripted(const std::string& script) { EXPECT_EQ(server.start(kLogin + script), 0); }
    std::string finished() { return server.wait() == 0 ? "" : server.failure(); }
};

TEST(FtpWalkScripted, DeleteHandlesChildrenInReverseListingOrderThenLeavesAndRemovesByName) {
    Scripted t(enter("/d") + list(folder_line("sub") + file_line("f.txt")) + "< DELE f.txt\n> 250 gone\n" +
               enter("/d/sub") + list("", false) + up("/d") + "< RMD sub\n> 250 gone\n" + up("/") +
               "< RMD d\n> 250 gone\n");
    ASSERT_EQ(t.h.connect(t.server.port(), "u", "p"), 0);
    EXPECT_EQ(remove_tree(t.h, "/d"), 0) << t.h.dump();
    EXPECT_EQ(t.finished(), "");
}

TEST(FtpWalkScripted, UploadIntoAMissingFolderMakesItFromItsParentAndSendsTheFileAhead) {
    Scripted t(kNoFeatures + "< CWD /pub/new\n> 550 no such folder\n" + cwd("/pub") +
               "< MKD new\n> 257 \"/pub/new\" made\n" + cwd("/pub/new") +
               // STOR went out with PASV: the file comes without waiting for the go-ahead.
               "< TYPE I\n> 200 binary\n< PASV\n< STOR a.txt\n"
               "> 227 Entering Passive Mode (127,0,0,1,{DATA})\n"
               "data-recv\n> 150 go ahead\n> 226 stored\n< MDTM *\n> 250 set\n");
    fs::create_directories(t.dir.file("src"));
    test::write_all(t.dir.file("src/a.txt"), "hello");
    ASSERT_EQ(t.h.connect(t.server.port(), "u", "p"), 0);
    EXPECT_EQ(transfer(t.h, {folder_pair(0, t.dir.file("src"), "/pub/new")}), 0) << t.h.dump();
    EXPECT_EQ(t.finished(), "");
    EXPECT_EQ(t.server.data_received(), "hello");
    // The refusal it carried on from (CWD) is no failure of the walk.
    EXPECT_EQ(t.h.s().failure.kind, FailureKind::kNone);
}

TEST(FtpWalkScripted, HostileNamesStayOutAndAFailedFileEndsTheWalkNamingIt) {
    // Backslashes doubled for the script's escapes; the bell goes out raw.
    const std::string hostile = file_line("..\\\\..\\\\evil") + file_line("\\\\tmp\\\\x") +
                                file_line("a/../../y") + folder_line("..") + file_line("bell\x07");
    Scripted t(kNoFeatures + cwd("/h") +
               list(hostile + file_line("ok.txt") + file_line("bad.txt") + file_line("never")) +
               "< TYPE I\n> 200 binary\n< MDTM ok.txt\n> 213 20200102030405\n"
               "< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n"
               "< RETR ok.txt\n> 150 here (5 bytes)\ndata-send fine!\n> 226 done\n"
               "< MDTM bad.txt\n> 550 gone\n"
               "< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n< RETR bad.txt\n> 550 gone\n");
    ASSERT_EQ(t.h.connect(t.server.port(), "u", "p"), 0);
    const std::string dest = t.dir.file("deep/dest");
    EXPECT_EQ(transfer(t.h, {folder_pair(1, dest, "/h")}), 1) << t.h.dump();
    EXPECT_EQ(t.finished(), "");
    EXPECT_TRUE(t.h.logged(kLevelError, "ERROR: Could not download /h/bad.txt")) << t.h.dump();
    EXPECT_EQ(t.h.s().failure.kind, FailureKind::kRemote);
    EXPECT_TRUE(t.h.logged_prefix(kLevelWarning, "Warning: Skipping \"..\\..\\evil\" in /h"));
    EXPECT_TRUE(t.h.logged_prefix(kLevelWarning, "Warning: Skipping \"bell\\x07\" in /h"));
    EXPECT_EQ(test::read_all(dest + "/ok.txt"), "fine!");
    EXPECT_FALSE(fs::exists(dest + "/never"));
    // Nothing was written anywhere but the destination.
    std::vector<std::string> written;
    for (auto& e : fs::recursive_directory_iterator(t.dir.path()))
        if (e.is_regular_file()) written.push_back(e.path().string());
    EXPECT_LE(written.size(), 2u);
    for (auto& w : written) EXPECT_EQ(w.rfind(dest + "/", 0), 0u) << w;
}

// The time only dates the downloaded file, so MDTM goes in one write with PASV and RETR: the server
// reads all three before it answers any (a client that waited for MDTM's reply would stall here).
// A refused MDTM leaves the time unknown; a file gone since the listing fails the walk, and the
// connection stays in step for the next request.
TEST(FtpWalkScripted, MdtmGoesWithPasvAndRetrAndItsRefusalIsBlamedOnItsFile) {
    auto batch = [](const std::string& name, const std::string& time_reply) {
        return "< MDTM " + name + "\n< PASV\n< RETR " + name + "\n> " + time_reply +
               "\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n";
    };
    Scripted t(
        kNoFeatures + cwd("/h") +
        list(file_line("dated.txt") + file_line("undated.txt") + file_line("gone.txt") + file_line("never")) +
        "< TYPE I\n> 200 binary\n" + batch("dated.txt", "213 20200102030405") +
        "> 150 here (5 bytes)\ndata-send one!!\n> 226 done\n" + batch("undated.txt", "502 no MDTM") +
        "> 150 here (5 bytes)\ndata-send two!!\n> 226 done\n" + batch("gone.txt", "550 gone") +
        "> 550 gone\n< PWD\n> 257 \"/h\"\n");
    ASSERT_EQ(t.h.connect(t.server.port(), "u", "p"), 0);
    const std::string dest = t.dir.file("dest");
    EXPECT_EQ(transfer(t.h, {folder_pair(1, dest, "/h")}), 1) << t.h.dump();
    EXPECT_TRUE(t.h.logged(kLevelError, "ERROR: Could not download /h/gone.txt")) << t.h.dump();
    EXPECT_EQ(t.h.run([&](DoneCallback d, int c, void* o) { return request_print_folder(t.h.s(), d, c, o); }),
              0);
    EXPECT_EQ(t.finished(), "");
    EXPECT_EQ(test::read_all(dest + "/dated.txt"), "one!!");
    EXPECT_EQ(test::read_all(dest + "/undated.txt"), "two!!");
    EXPECT_FALSE(fs::exists(dest + "/gone.txt"));
    EXPECT_FALSE(fs::exists(dest + "/never"));
    struct stat st {};
    ASSERT_EQ(stat((dest + "/dated.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1577934245);  // 2020-01-02 03:04:05 UTC
    EXPECT_TRUE(t.h.logged(kLevelWarning, kMsgNoRemoteTime)) << t.h.dump();
}

// ---- real servers ----

using Mode = test::ServerMode;

// Relative path -> contents ("/" for a folder).
std::map<std::string, std::string> tree_of(const std::string& root) {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(e.path(), root).string();
        out[rel] = e.is_directory() ? "/" : test::read_all(e.path().string());
    }
    return out;
}

class FtpWalkReal : public testing::TestWithParam<Mode> {
  protected:
    void SetUp() override {
        ASSERT_EQ(server.start(GetParam().kind), 0) << server.error();
        ASSERT_TRUE(h.ok());
        h.s().passive = GetParam().passive ? 1 : 0;
        ASSERT_EQ(h.connect(server.port(), server.user(), server.password()), 0) << h.dump();
    }
    FtpServer server;
    test::TempDir local;
    test::FtpSessionHarness h;
};

TEST_P(FtpWalkReal, TreesGoUpComeDownByteForByteWithTheirTimesAndAreDeleted) {
    const std::string src = local.file("src");
    std::string deep = src + "/with space/ünïcödé ✓";
    for (int i = 1; i <= 8; ++i) deep += "/level " + std::to_string(i);
    fs::create_directories(deep);
    fs::create_directories(src + "/empty");
    test::write_all(deep + "/bottom.bin", test::random_bytes(70000, 3));
    test::write_all(src + "/with space/ünïcödé ✓/naïve file.txt", "grüße\n");
    test::write_all(src + "/zero", "");
    fs::create_directories(src + "/many");
    for (int i = 0; i < 200; ++i)
        test::write_all(src + "/many/f" + std::to_string(i), test::random_bytes(100 + i * 7, i));

    ASSERT_EQ(transfer(h, {folder_pair(0, src, "/pub/tree")}), 0) << h.dump();
    const std::string served = server.local_home() + "/tree";
    EXPECT_EQ(tree_of(served), tree_of(src));

    const std::string down = local.file("down");
    ASSERT_EQ(transfer(h, {folder_pair(1, down, "/pub/tree")}), 0) << h.dump();
    auto got = tree_of(down);
    EXPECT_EQ(got, tree_of(served));
    for (auto& [rel, content] : got) {
        if (content == "/") continue;
        EXPECT_EQ(platform::unix_from_filetime(platform::path_last_write_time(down + "/" + rel)),
                  platform::unix_from_filetime(platform::path_last_write_time(served + "/" + rel)))
            << rel;
    }

    ASSERT_EQ(remove_tree(h, "/pub/tree"), 0) << h.dump();
    EXPECT_FALSE(fs::exists(served));
    EXPECT_EQ(h.s().remote_folder, "/pub");
}

// Four files at a time over sessions of their own (run under TSan with the thread tests): the same
// trees; a file that cannot be written stops the walk, and every file that arrived is whole.
TEST_P(FtpWalkReal, FourAtATimeMoveTheSameTreesAndAFailedFileStopsTheWalk) {
    const std::string src = local.file("src");
    fs::create_directories(src + "/a/b");
    for (int i = 0; i < 40; ++i)
        test::write_all(src +
                            (i % 3 == 0   ? "/a/f"
                             : i % 3 == 1 ? "/a/b/f"
                                          : "/f") +
                            std::to_string(i),
                        test::random_bytes(static_cast<size_t>(i) * 3001, i));
    h.s().parallel = 4;
    ASSERT_EQ(transfer(h, {folder_pair(0, src, "/pub/tree")}), 0) << h.dump();
    EXPECT_EQ(tree_of(server.local_home() + "/tree"), tree_of(src));
    ASSERT_EQ(transfer(h, {folder_pair(1, local.file("down"), "/pub/tree")}), 0) << h.dump();
    EXPECT_EQ(tree_of(local.file("down")), tree_of(src));

    const std::string again = local.file("again");
    fs::create_directories(again + "/f5");
    EXPECT_EQ(transfer(h, {folder_pair(1, again, "/pub/tree")}), 1) << h.dump();
    EXPECT_TRUE(h.logged(kLevelError, "ERROR: Could not download /pub/tree/f5")) << h.dump();
    for (auto& [rel, content] : tree_of(again)) {
        if (content != "/" && rel != "f5") {
            EXPECT_TRUE(content == test::read_all(src + "/" + rel)) << rel;
        }
    }
}

TEST_P(FtpWalkReal, ALocalLinkCycleIsWalkedOnceAndAFailedFolderIsNamed) {
    const std::string src = local.file("loop");
    fs::create_directories(src + "/inner");
    test::write_all(src + "/inner/a.txt", "a");
    fs::create_directory_symlink("..", src + "/inner/back");
    ASSERT_EQ(transfer(h, {folder_pair(0, src, "/pub/loop")}), 0) << h.dump();
    EXPECT_EQ(test::read_all(server.local_home() + "/loop/inner/a.txt"), "a");
    EXPECT_TRUE(h.logged_prefix(kLevelWarning, "Warning: Skipping " + src + "/inner/back"));

    EXPECT_EQ(transfer(h, {folder_pair(1, local.file("d"), "/pub/no such folder")}), 1);
    // Listed by its path where the server has MLSD, entered first where it has only LIST.
    const char* what = GetParam().kind == FtpServerKind::kPyftpdlib ? "list" : "enter";
    EXPECT_TRUE(
        h.logged(kLevelError, std::string("ERROR: Could not ") + what + " remote folder /pub/no such folder"))
        << h.dump();
    EXPECT_EQ(h.s().failure.kind, FailureKind::kRemote);
    // A local folder that cannot be made ends the walk as this side's failure.
    test::write_all(local.file("file"), "x");
    EXPECT_EQ(transfer(h, {folder_pair(1, local.file("file/d"), "/pub")}), 1);
    EXPECT_EQ(h.s().failure.kind, FailureKind::kLocal) << h.dump();
}

// A FIFO never blocks a transfer: a walk skips it with a warning, a single file refuses it, and a
// download onto one fails rather than pouring the file into it.
TEST_P(FtpWalkReal, FifosAreSkippedByWalksAndRefusedAsSingleFiles) {
    const std::string src = local.file("withfifo");
    fs::create_directories(src);
    test::write_all(src + "/a.txt", "a");
    ASSERT_EQ(mkfifo((src + "/pipe").c_str(), 0600), 0);
    ASSERT_EQ(transfer(h, {folder_pair(0, src, "/pub/withfifo")}), 0) << h.dump();
    EXPECT_EQ(test::read_all(server.local_home() + "/withfifo/a.txt"), "a");
    EXPECT_FALSE(fs::exists(server.local_home() + "/withfifo/pipe"));
    EXPECT_TRUE(h.logged(kLevelWarning, "Warning: Skipping " + src + "/pipe: not a regular file"))
        << h.dump();

    EXPECT_EQ(h.upload(src + "/pipe", "pipe"), 1);
    EXPECT_EQ(h.s().failure.kind, FailureKind::kLocal) << h.dump();
    EXPECT_EQ(h.download("/pub/withfifo/a.txt", src + "/pipe"), 1) << h.dump();
    EXPECT_TRUE(
        h.logged_prefix(kLevelError, "Could not open local file " + src + "/pipe: Not a regular file"))
        << h.dump();
    EXPECT_TRUE(fs::is_fifo(src + "/pipe"));
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpWalkReal, test::every_server_mode(), test::server_mode_name);

}  // namespace
}  // namespace orvane
