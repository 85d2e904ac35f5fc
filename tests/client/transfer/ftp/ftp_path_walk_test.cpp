// Walks against servers with machine listings: exact transcripts (folders listed by their paths,
// no per-file MDTM, SIZE, CWD or PWD, MFMT straight away, MLSD refused once and never again), the
// same trees, results and messages with MLSD and with LIST against pyftpdlib and vsftpd, and links
// that a server's MLSD follows.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "client/transfer/ftp/ftp_state.h"
#include "common/log.h"
#include "platform/file.h"
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
const std::string kFeatures =
    "< FEAT\n> 211-Features:\n>  MDTM\n>  MLST type*;size*;modify*;\n>  MFMT\n> 211 End\n";
const std::string kPasv = "< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n";

// MLSD goes out with PASV: the server reads both before it answers.
std::string mlsd(const std::string& path, const std::string& lines) {
    return "< PASV\n< MLSD " + path +
           "\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n> 150 here\ndata-send " + lines +
           "\n> 226 done\n";
}
// The first folder of a walk is asked for its own facts ahead of them, in the same write.
std::string first_mlsd(const std::string& path, const std::string& lines) {
    return "< MLST " + path + "\n< PASV\n< MLSD " + path + "\n> 250-Listing\n>  type=dir;unique=top1; " +
           path + "\n> 250 End\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n> 150 here\ndata-send " +
           lines + "\n> 226 done\n";
}
std::string retr(const std::string& path, const std::string& bytes) {
    return kPasv + "< RETR " + path + "\n> 150 here\ndata-send " + bytes + "\n> 226 done\n";
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
int64_t unix_time_of(const std::string& path) {
    return platform::unix_from_filetime(platform::path_last_write_time(path));
}
// How many commands of this verb a run sent.
size_t sent(test::FtpSessionHarness& h, const std::string& verb) {
    auto lines = h.lines(kLevelCommand);
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l == verb || l.rfind(verb + " ", 0) == 0;
    }));
}

TEST(FtpPathWalkScripted, TreesMoveByPathWithTheListedFactsAndOneFeatPerConnection) {
    ScriptedFtpServer server;
    const std::string listed =
        "type=cdir; /d\\r\\ntype=pdir; /\\r\\n"
        "type=file;size=5;modify=20200102030405; one\\r\\n"
        "type=dir;modify=20200102030405; sub\\r\\n"
        "type=dir;unique=top1; back\\r\\n"
        "type=file;size=1; ..\\\\evil\\r\\n";
    const std::string below = "type=file;size=3;modify=20210304050607; two words\\r\\n";
    ASSERT_EQ(
        server.start(kLogin + kFeatures + first_mlsd("/d", listed) + "< TYPE I\n> 200 binary\n" +
                     retr("/d/one", "hello") + mlsd("/d/sub", below) + retr("/d/sub/two words", "abc") +
                     // The upload walk: the folder is entered once to learn that it must be made.
                     "< CWD /up\n> 550 none\n< MKD /up\n> 257 \"/up\" made\n< CWD /up\n> 250 ok\n" + kPasv +
                     "< STOR /up/a.txt\n> 150 go ahead\ndata-recv\n> 226 stored\n< MFMT *\n> 213 set\n"
                     // One file whose size and time the rules need: MLST answers both at once.
                     "< MLST f.bin\n> 250-Listing f.bin\n>  type=file;size=5;modify=20200102030405; f.bin\n> "
                     "250 End\n" +
                     kPasv +
                     "< REST 2\n> 350 restarting\n< RETR f.bin\n> 150 here\ndata-send cde\n> 226 done\n"),
        0);
    test::FtpSessionHarness h;
    test::TempDir dir;
    ASSERT_EQ(h.connect(server.port(), "u", "p"), 0);
    const std::string down = dir.file("down");
    ASSERT_EQ(transfer(h, {folder_pair(1, down, "/d")}), 0) << h.dump();
    EXPECT_EQ(test::read_all(down + "/one"), "hello");
    EXPECT_EQ(test::read_all(down + "/sub/two words"), "abc");
    EXPECT_EQ(unix_time_of(down + "/one"), 1577934245) << "the listed time, UTC";
    EXPECT_EQ(unix_time_of(down + "/sub/two words"), 1614834367);
    EXPECT_TRUE(h.logged_prefix(kLevelWarning, "Warning: Skipping \"..\\evil\" in /d"));
    EXPECT_TRUE(h.logged(kLevelWarning,
                         "Warning: Skipping /d/back: a symbolic link leads back to a folder above it"));
    EXPECT_EQ(h.s().remote_folder, "/") << "no folder was entered";

    fs::create_directories(dir.file("src"));
    test::write_all(dir.file("src/a.txt"), "up");
    ASSERT_EQ(transfer(h, {folder_pair(0, dir.file("src"), "/up")}), 0) << h.dump();
    EXPECT_EQ(server.data_received(), "up");
    EXPECT_EQ(h.s().remote_folder, "/up");

    test::write_all(dir.file("f.bin"), "ab");
    h.s().remote_folder = "/";
    h.s().download_rules =
        DuplicateRules{kCompareBySize, kDuplicateResume, kDuplicateSkip, kDuplicateOverwrite};
    EXPECT_EQ(h.download("f.bin", dir.file("f.bin")), 0) << h.dump();
    EXPECT_EQ(test::read_all(dir.file("f.bin")), "abcde");
    EXPECT_EQ(server.wait(), 0) << server.failure();
    EXPECT_EQ(sent(h, "MDTM") + sent(h, "SIZE") + sent(h, "CDUP"), 0u);
    EXPECT_EQ(sent(h, "PWD"), 1u) << "the login's";
    EXPECT_EQ(sent(h, "FEAT"), 1u);
}

// A server that announces MLST but does not know MLSD: the folder is entered and listed the old way,
// and the session never asks with MLSD again.
TEST(FtpPathWalkScripted, AnUnknownMlsdIsAskedOnceAndTheWalkFallsBackToEntering) {
    ScriptedFtpServer server;
    ASSERT_EQ(server.start(kLogin + kFeatures + "< MLST /e\n< PASV\n< MLSD /e\n> 550 no such folder\n" +
                           "> 227 Entering Passive Mode (127,0,0,1,{DATA})\n> 500 unknown command\n" +
                           "< CWD /e\n> 550 no such folder\n< CWD /f\n> 550 no such folder\n"),
              0);
    test::FtpSessionHarness h;
    test::TempDir dir;
    ASSERT_EQ(h.connect(server.port(), "u", "p"), 0);
    EXPECT_EQ(transfer(h, {folder_pair(1, dir.file("e"), "/e")}), 1);
    EXPECT_TRUE(h.logged(kLevelError, "ERROR: Could not list remote folder /e")) << h.dump();
    EXPECT_EQ(transfer(h, {folder_pair(1, dir.file("f"), "/f")}), 1);
    EXPECT_TRUE(h.logged(kLevelError, "ERROR: Could not enter remote folder /f")) << h.dump();
    EXPECT_EQ(server.wait(), 0) << server.failure();
    EXPECT_EQ(sent(h, "MLSD"), 1u);
}

// RETR goes out right behind PASV: when PASV is refused, the RETR's own refusal is read with it and
// never taken for the answer to the next command.
TEST(FtpPathWalkScripted, ARefusedPasvTakesTheReplyOfTheRetrBehindIt) {
    ScriptedFtpServer server;
    ASSERT_EQ(server.start(kLogin + kFeatures +
                           first_mlsd("/d", "type=file;size=1;modify=20200102030405; one\\r\\n") +
                           "< TYPE I\n> 200 binary\n< PASV\n> 500 no passive mode\n< RETR /d/one\n"
                           "> 425 Use PORT or PASV first\n< CWD /x\n> 250 ok\n< PWD\n> 257 \"/x\"\n"),
              0);
    test::FtpSessionHarness h;
    test::TempDir dir;
    ASSERT_EQ(h.connect(server.port(), "u", "p"), 0);
    EXPECT_EQ(transfer(h, {folder_pair(1, dir.file("d"), "/d")}), 1);
    EXPECT_TRUE(h.logged(kLevelError, "ERROR: Could not download /d/one")) << h.dump();
    EXPECT_EQ(h.change_folder("/x"), 0) << h.dump();
    EXPECT_EQ(h.s().remote_folder, "/x");
    EXPECT_EQ(server.wait(), 0) << server.failure();
}

// ---- real servers ----

std::map<std::string, std::string> tree_of(const std::string& root) {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root))
        out[fs::relative(e.path(), root).string()] =
            e.is_directory() ? "/" : test::read_all(e.path().string());
    return out;
}

struct WalkRun {
    std::map<std::string, std::string> tree;
    std::map<std::string, int64_t> times;
    std::vector<std::string> messages;  // info, warnings and errors, in order
    int results = 0;
    size_t per_file = 0;  // MDTM and SIZE queries
    size_t pwd = 0;       // PWD while the trees went up and down
};

// Up, down and deleted again, with machine listings or (when `listing_only`) as if the server had none.
WalkRun walk_tree(FtpServerKind kind, bool listing_only, const std::string& src, const std::string& down) {
    FtpServer server;
    EXPECT_EQ(server.start(kind), 0) << server.error();
    test::FtpSessionHarness h;
    EXPECT_EQ(h.connect(server.port(), server.user(), server.password()), 0) << h.dump();
    if (listing_only) {
        FtpSessionState& fs = ftp_state(h.s()).session;
        fs.features_known = true;
        fs.machine_listing = fs.mfmt = false;
    }
    WalkRun run;
    size_t pwd_before = sent(h, "PWD");
    run.results += transfer(h, {folder_pair(0, src, "/pub/tree")});
    size_t before = sent(h, "MDTM") + sent(h, "SIZE");
    run.results += 2 * transfer(h, {folder_pair(1, down, "/pub/tree")});
    run.per_file = sent(h, "MDTM") + sent(h, "SIZE") - before;
    run.pwd = sent(h, "PWD") - pwd_before;
    run.results += 4 * remove_tree(h, "/pub/tree");
    EXPECT_FALSE(fs::exists(server.local_home() + "/tree"));
    run.tree = tree_of(down);
    for (auto& [rel, content] : run.tree)
        if (content != "/") run.times[rel] = unix_time_of(down + "/" + rel);
    for (auto& [level, text] : h.log())
        if (level >= kLevelInfo && level <= kLevelError) run.messages.push_back(text);
    return run;
}

TEST(FtpPathWalkReal, MachineListingsAndListWalkTheSameTreesWithTheSameResults) {
    test::TempDir local;
    const std::string src = local.file("src");
    fs::create_directories(src + "/a b/c");
    fs::create_directories(src + "/empty");
    for (int i = 0; i < 6; ++i) {
        test::write_all(src + "/f" + std::to_string(i), test::random_bytes(1000 + i, i));
        test::write_all(src + "/a b/c/g" + std::to_string(i), test::random_bytes(10 * i, i + 7));
    }
    test::write_all(src + "/a b/zero", "");
    const WalkRun mlsd = walk_tree(FtpServerKind::kPyftpdlib, false, src, local.file("mlsd"));
    const WalkRun list = walk_tree(FtpServerKind::kPyftpdlib, true, src, local.file("list"));
    const WalkRun vsftpd = walk_tree(FtpServerKind::kVsftpd, false, src, local.file("vsftpd"));
    EXPECT_EQ(mlsd.results, 0);
    EXPECT_EQ(list.results, 0);
    EXPECT_EQ(vsftpd.results, 0);
    EXPECT_EQ(mlsd.tree, tree_of(src));
    EXPECT_EQ(list.tree, mlsd.tree);
    EXPECT_EQ(vsftpd.tree, mlsd.tree);
    EXPECT_EQ(list.times, mlsd.times);
    EXPECT_EQ(vsftpd.times, mlsd.times);
    EXPECT_EQ(list.messages, mlsd.messages);
    EXPECT_EQ(mlsd.per_file, 0u) << "the listing's facts are exact";
    EXPECT_EQ(list.per_file, 13u) << "one MDTM per file";
    EXPECT_EQ(vsftpd.per_file, 13u) << "vsftpd has no MLSD";
    EXPECT_EQ(mlsd.pwd + list.pwd + vsftpd.pwd, 0u) << "every folder is named by its full path";
}

// pyftpdlib's MLSD follows links: a link back to a folder above is listed as that folder, with the
// same unique fact. The walk takes it once, as the folder it is, and goes no deeper.
TEST(FtpPathWalkReal, ALinkBackToAFolderAboveEndsTheWalkThere) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kPyftpdlib), 0) << server.error();
    fs::create_directories(server.local_home() + "/loop/inner");
    test::write_all(server.local_home() + "/loop/inner/a.txt", "a");
    fs::create_directory_symlink("..", server.local_home() + "/loop/inner/back");
    fs::create_directory_symlink(".", server.local_home() + "/loop/self");
    fs::create_directories(server.local_home() + "/keep");
    test::write_all(server.local_home() + "/keep/k.txt", "k");
    fs::create_directory_symlink("../keep", server.local_home() + "/loop/out");
    test::FtpSessionHarness h;
    ASSERT_EQ(h.connect(server.port(), server.user(), server.password()), 0) << h.dump();
    test::TempDir local;
    ASSERT_EQ(transfer(h, {folder_pair(1, local.file("down"), "/pub/loop")}), 0) << h.dump();
    EXPECT_EQ(tree_of(local.file("down")),
              (std::map<std::string, std::string>{
                  {"inner", "/"}, {"inner/a.txt", "a"}, {"out", "/"}, {"out/k.txt", "k"}}));
    for (const char* link : {"/pub/loop/inner/back", "/pub/loop/self"})
        EXPECT_TRUE(h.logged(kLevelWarning, std::string("Warning: Skipping ") + link +
                                                ": a symbolic link leads back to a folder above it"))
            << link << h.dump();
    // Deleting the tree removes the links, never what they point to.
    ASSERT_EQ(remove_tree(h, "/pub/loop"), 0) << h.dump();
    EXPECT_FALSE(fs::exists(server.local_home() + "/loop"));
    EXPECT_EQ(test::read_all(server.local_home() + "/keep/k.txt"), "k");
}

}  // namespace
}  // namespace orvane
