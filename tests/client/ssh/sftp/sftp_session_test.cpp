// SFTP sessions through the network core against a real OpenSSH server on loopback: every request
// of the catalogue, byte-exact files and kept times, the folder walks both ways and the delete
// walk; and servers that fall silent or hang up fail the connect instead of waiting.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "client/ssh/sftp/sftp_requests.h"
#include "client/ssh/ssh_filter.h"
#include "client/ssh/ssh_key.h"
#include "common/base64.h"
#include "common/log.h"
#include "tests/client/ssh/ssh_test_keys.h"
#include "tests/client/transfer/ftp/ftp_session_harness.h"
#include "tests/support/loopback.h"
#include "tests/support/sshd_server.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::FtpSessionHarness;
using test::TempDir;

class SftpSession : public ::testing::Test {
  protected:
    void SetUp() override { setenv("ORVANE_KNOWN_HOSTS", known_.file("known_hosts").c_str(), 1); }
    void TearDown() override { unsetenv("ORVANE_KNOWN_HOSTS"); }

    // sshd with our test keys authorised and the sftp subsystem.
    std::vector<std::string> sshd_config() {
        std::string keys;
        for (const test::TestKeyFile& key : test::test_key_files())
            keys += std::string(ssh::key_type_name(key.kind)) + " " + base64_encode(key.public_blob) + "\n";
        test::write_all(keys_.file("authorized_keys"), keys);
        return {"AuthorizedKeysFile " + keys_.file("authorized_keys"), "PasswordAuthentication no",
                "KbdInteractiveAuthentication no", "Subsystem sftp internal-sftp"};
    }
    static std::string login_name() {
        return getuid() == 0 ? "root" : std::string(getlogin() ? getlogin() : "");
    }

    int connect(FtpSessionHarness& h, uint16_t port) {
        h.s().key_file = test::test_key_file("ed25519-openssh").path;
        return h.connect(port, login_name(), "");
    }

    // SFTP sessions: SSH filters and the SFTP handlers.
    static FilterProviders sftp_providers() {
        FilterProviders p;
        p.ssh = ssh::ssh_filter_provider();
        return p;
    }
    EngineOwner engines_{sftp_providers()};
    const RequestTable requests_ = make_request_table({}, sftp::sftp_request_handlers());

    TempDir known_;
    TempDir keys_;
    TempDir server_;  // the server-side folder
    TempDir local_;
};

std::string read_file(const std::string& path) {
    return test::read_all(path);
}

// Every open file below `folder` in any process this user may look into (the server's handles).
std::vector<std::string> files_held_open_under(const std::string& folder) {
    std::vector<std::string> held;
    std::error_code ec;
    for (const fs::directory_entry& process : fs::directory_iterator("/proc", ec)) {
        std::error_code ignored;
        for (const fs::directory_entry& fd : fs::directory_iterator(process.path() / "fd", ignored)) {
            std::error_code unreadable;
            std::string target = fs::read_symlink(fd.path(), unreadable).string();
            if (!unreadable && target.rfind(folder + "/", 0) == 0) held.push_back(target);
        }
    }
    return held;
}

int64_t mtime_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

TEST_F(SftpSession, EveryRequestAgainstOpenssh) {
    test::SshdDaemon sshd(sshd_config());
    if (!sshd.running()) GTEST_SKIP() << sshd.why();
    FtpSessionHarness h(engines_, requests_, kProtocolSftp, 20);
    ASSERT_TRUE(h.ok());
    ASSERT_EQ(connect(h, sshd.port()), 0) << h.dump() << sshd.log();
    EXPECT_TRUE(h.logged_prefix(kLevelInfo, "Remote directory is ")) << h.dump();

    ASSERT_EQ(h.change_folder(server_.path()), 0) << h.dump();
    EXPECT_EQ(h.s().remote_folder, fs::canonical(server_.path()).string());

    // Upload and download: sizes at and around the block, content byte-exact, times kept.
    for (size_t size : {size_t{0}, size_t{65536}, size_t{1} << 20 | 17}) {
        SCOPED_TRACE(size);
        std::string name = "f" + std::to_string(size) + ".bin";
        std::string content = test::random_bytes(size);
        test::write_all(local_.file(name), content);
        ASSERT_EQ(h.upload(local_.file(name), name), 0) << h.dump();
        EXPECT_TRUE(read_file(server_.file(name)) == content);
        EXPECT_EQ(mtime_of(server_.file(name)), mtime_of(local_.file(name)));
        ASSERT_EQ(h.download(name, local_.file("back-" + name)), 0) << h.dump();
        EXPECT_TRUE(read_file(local_.file("back-" + name)) == content);
        EXPECT_EQ(mtime_of(local_.file("back-" + name)), mtime_of(server_.file(name)));
    }

    // Single operations.
    auto run = [&](auto start) { return h.run(start); };
    EXPECT_EQ(
        run([&](DoneCallback d, int c, void* o) { return request_make_folder(h.s(), "made", d, c, o); }), 0);
    EXPECT_TRUE(fs::is_directory(server_.file("made")));
    EXPECT_EQ(run([&](DoneCallback d, int c, void* o) {
                  return request_rename(h.s(), "f65536.bin", "made/moved.bin", d, c, o);
              }),
              0);
    EXPECT_TRUE(fs::exists(server_.file("made/moved.bin")));
    EXPECT_EQ(run([&](DoneCallback d, int c, void* o) {
                  return request_modification_time(h.s(), "made/moved.bin", d, c, o);
              }),
              0);
    EXPECT_EQ(h.s().modification_time.size(), 14u);
    ASSERT_EQ(h.listing(), 0) << h.dump();
    bool saw_folder = false, saw_file = false;
    for (const RemoteFileEntry& e : h.s().listing) {
        if (e.name == "made") saw_folder = e.type == kEntryFolder;
        if (e.name == "f0.bin") saw_file = e.type == kEntryFile && e.size_text == "0" && !e.long_name.empty();
    }
    EXPECT_TRUE(saw_folder && saw_file);
    EXPECT_EQ(run([&](DoneCallback d, int c, void* o) { return request_print_folder(h.s(), d, c, o); }), 0);
    EXPECT_EQ(
        run([&](DoneCallback d, int c, void* o) { return request_custom_command(h.s(), "NOOP", d, c, o); }),
        1);
    EXPECT_TRUE(h.logged_prefix(kLevelError, "ERROR: Raw commands are an FTP feature"));
    EXPECT_EQ(h.s().failure.kind, FailureKind::kUser);
    // A failed request leaves the session usable.
    EXPECT_EQ(h.change_folder("no-such-folder"), 1);
    EXPECT_EQ(h.s().failure.kind, FailureKind::kRemote);
    EXPECT_EQ(h.download("no-such-file", local_.file("x")), 1);
    EXPECT_FALSE(fs::exists(local_.file("x")));

    // The walks: a tree up, down again, and removed.
    fs::create_directories(local_.file("tree/sub/empty"));
    test::write_all(local_.file("tree/a.txt"), "alpha");
    test::write_all(local_.file("tree/sub/b.bin"), test::random_bytes(100000));
    TransferPair up;
    up.direction = 0;
    up.local.full_path = local_.file("tree");
    up.remote.full_path = server_.file("tree");
    up.local.type = up.remote.type = kEntryFolder;
    DuplicateRules rules;
    ASSERT_EQ(run([&](DoneCallback d, int c, void* o) {
                  return request_transfer_list(h.s(), {up}, rules, rules, d, c, o);
              }),
              0)
        << h.dump();
    EXPECT_TRUE(read_file(server_.file("tree/sub/b.bin")) == read_file(local_.file("tree/sub/b.bin")));
    EXPECT_TRUE(fs::is_directory(server_.file("tree/sub/empty")));
    TransferPair down = up;
    down.direction = 1;
    down.local.full_path = local_.file("down");
    ASSERT_EQ(run([&](DoneCallback d, int c, void* o) {
                  return request_transfer_list(h.s(), {down}, rules, rules, d, c, o);
              }),
              0)
        << h.dump();
    EXPECT_EQ(read_file(local_.file("down/a.txt")), "alpha");
    EXPECT_TRUE(read_file(local_.file("down/sub/b.bin")) == read_file(local_.file("tree/sub/b.bin")));
    EXPECT_TRUE(fs::is_directory(local_.file("down/sub/empty")));
    RemoteFileEntry tree;
    tree.full_path = server_.file("tree");
    tree.type = kEntryFolder;
    ASSERT_EQ(
        run([&](DoneCallback d, int c, void* o) { return request_delete_list(h.s(), {tree}, d, c, o); }), 0)
        << h.dump();
    EXPECT_FALSE(fs::exists(server_.file("tree")));

    EXPECT_EQ(h.disconnect(), 0);
}

// Four files at a time, each over an SSH connection of its own logged in like the first (under TSan
// with the thread tests): trees up and down byte for byte.
TEST_F(SftpSession, FourAtATimeMoveWholeTrees) {
    test::SshdDaemon sshd(sshd_config());
    if (!sshd.running()) GTEST_SKIP() << sshd.why();
    FtpSessionHarness h(engines_, requests_, kProtocolSftp, 20);
    ASSERT_TRUE(h.ok());
    ASSERT_EQ(connect(h, sshd.port()), 0) << h.dump() << sshd.log();
    fs::create_directories(local_.file("tree/sub"));
    for (int i = 0; i < 24; ++i)
        test::write_all(local_.file(i % 2 ? "tree/f" : "tree/sub/f") + std::to_string(i),
                        test::random_bytes(static_cast<size_t>(i) * 5003, i));
    h.s().parallel = 4;
    for (int direction : {0, 1})
        ASSERT_EQ(
            h.walk_folder(direction, local_.file(direction == 0 ? "tree" : "down"), server_.file("tree")), 0)
            << h.dump();
    for (int i = 0; i < 24; ++i) {
        std::string rel = (i % 2 ? "/f" : "/sub/f") + std::to_string(i);
        EXPECT_TRUE(read_file(server_.file("tree") + rel) == read_file(local_.file("tree") + rel)) << rel;
        EXPECT_TRUE(read_file(local_.file("down") + rel) == read_file(local_.file("tree") + rel)) << rel;
    }
    EXPECT_EQ(h.disconnect(), 0);
}

// One session, many small files: each download's OPEN goes out with its STAT, its reads end at the
// announced size. A tree both ways comes out byte for byte; a file whose target cannot be written
// fails itself and the walk, and every file transferred is exact, with or without the others going on.
TEST_F(SftpSession, SmallFileTreesAndAFailedFileInTheMiddle) {
    test::SshdDaemon sshd(sshd_config());
    if (!sshd.running()) GTEST_SKIP() << sshd.why();
    FtpSessionHarness h(engines_, requests_, kProtocolSftp, 20);
    ASSERT_TRUE(h.ok());
    ASSERT_EQ(connect(h, sshd.port()), 0) << h.dump() << sshd.log();
    fs::create_directories(local_.file("tree/sub"));
    const size_t sizes[] = {0, 1, 4096, 32767, 32768, 32769, 65536, 50000};
    std::vector<std::string> files;
    for (int i = 0; i < 40; ++i) {
        files.push_back((i % 3 ? "/f" : "/sub/f") + std::to_string(i));
        test::write_all(local_.file("tree") + files.back(), test::random_bytes(sizes[i % 8], i));
    }
    auto walk = [&](int direction, const std::string& local, const std::string& remote) {
        return h.walk_folder(direction, local_.file(local), server_.file(remote));
    };
    ASSERT_EQ(walk(0, "tree", "tree"), 0) << h.dump();
    ASSERT_EQ(walk(1, "down", "tree"), 0) << h.dump();
    for (const std::string& f : files) {
        EXPECT_TRUE(read_file(server_.file("tree") + f) == read_file(local_.file("tree") + f)) << f;
        EXPECT_TRUE(read_file(local_.file("down") + f) == read_file(local_.file("tree") + f)) << f;
    }

    // The failing file's target is a folder: locally for the download, on the server for the upload.
    for (bool independent : {false, true}) {
        SCOPED_TRACE(independent ? "independent files" : "the walk stops");
        h.s().independent_files = independent;
        const std::string down = independent ? "down2" : "down1", up = independent ? "up2" : "up1";
        fs::create_directories(local_.file(down + "/f20/x"));
        fs::create_directories(server_.file(up + "/f20/x"));
        EXPECT_EQ(walk(1, down, "tree"), 1) << h.dump();
        EXPECT_EQ(walk(0, "tree", up), 1) << h.dump();
        int exact = 0;
        for (const std::string& f : files) {
            if (f == "/f20") continue;
            for (const std::string& copy : {local_.file(down) + f, server_.file(up) + f}) {
                if (!fs::exists(copy)) continue;
                EXPECT_TRUE(read_file(copy) == read_file(local_.file("tree") + f)) << copy;
                ++exact;
            }
        }
        if (independent) {
            EXPECT_EQ(exact, 2 * 39);
        }
        EXPECT_TRUE(fs::is_directory(local_.file(down + "/f20/x")));
        EXPECT_TRUE(fs::is_directory(server_.file(up + "/f20/x")));
    }
    EXPECT_EQ(h.download(server_.file("tree/f1"), local_.file("last")), 0) << h.dump();
    EXPECT_TRUE(read_file(local_.file("last")) == read_file(local_.file("tree/f1")));
    EXPECT_EQ(h.disconnect(), 0);
}

// One session keeps the next file's requests in flight while the current one streams. A file in the
// middle that the server cannot read (a folder given as a file) fails itself and the walk; the file
// sent ahead of it is given back; every file moved is exact, down and up again (one larger than the
// request window too), and every handle the server opened is closed again.
TEST_F(SftpSession, FilesInFlightTogetherAndOneTheServerCannotRead) {
    test::SshdDaemon sshd(sshd_config());
    if (!sshd.running()) GTEST_SKIP() << sshd.why();
    FtpSessionHarness h(engines_, requests_, kProtocolSftp, 20);
    ASSERT_TRUE(h.ok());
    ASSERT_EQ(connect(h, sshd.port()), 0) << h.dump() << sshd.log();
    const size_t sizes[] = {4096, 64 * 32768 + 12345, 0, 1, 70000, 4096};
    std::vector<TransferPair> pairs;
    for (int i = 0; i < 6; ++i) {
        std::string name = "f" + std::to_string(i);
        if (i == 3)
            fs::create_directories(server_.file(name));
        else
            test::write_all(server_.file(name), test::random_bytes(sizes[i], i));
        TransferPair p;
        p.direction = 1;
        p.remote.full_path = server_.file(name);
        p.remote.type = p.local.type = kEntryFile;
        pairs.push_back(p);
    }
    auto walk = [&](const std::string& into) {
        fs::create_directories(local_.file(into));
        for (TransferPair& p : pairs)
            p.local.full_path = local_.file(into + "/" + fs::path(p.remote.full_path).filename().string());
        DuplicateRules rules;
        return h.run([&](DoneCallback d, int c, void* o) {
            return request_transfer_list(h.s(), pairs, rules, rules, d, c, o);
        });
    };
    for (bool independent : {false, true}) {
        SCOPED_TRACE(independent ? "independent files" : "the walk stops");
        h.s().independent_files = independent;
        const std::string into = independent ? "all" : "stopped";
        EXPECT_EQ(walk(into), 1) << h.dump();
        for (int i = 0; i < 6; ++i) {
            const std::string copy = local_.file(into + "/f" + std::to_string(i));
            if (i == 3 || (!independent && i > 3)) {
                EXPECT_TRUE(!fs::exists(copy) || fs::file_size(copy) == 0) << copy;
                continue;
            }
            EXPECT_TRUE(read_file(copy) == read_file(server_.file("f" + std::to_string(i)))) << copy;
        }
    }
    // Up again as a folder (made by the walk), each file closed right behind its last write.
    ASSERT_EQ(h.walk_folder(0, local_.file("all"), server_.file("up")), 0) << h.dump();
    for (int i : {0, 1, 2, 4, 5}) {
        const std::string name = "f" + std::to_string(i);
        EXPECT_TRUE(read_file(server_.file("up/" + name)) == read_file(server_.file(name))) << name;
    }
    // The session goes on, and by its reply every CLOSE sent before it has been handled: no
    // process holds a file of the server's folder open any more.
    EXPECT_EQ(h.download(server_.file("f0"), local_.file("again")), 0) << h.dump();
    EXPECT_EQ(files_held_open_under(server_.path()), std::vector<std::string>{});
    EXPECT_EQ(h.disconnect(), 0);
}

// Known hosts are read before the connect and a new host recorded after it, on the requester's
// thread; a changed key ends the connect as the user's to settle.
// A stopped SFTP download ends with the session (replies in flight cannot be taken back), as the
// user's doing, and the next request finds it closed rather than reading a stale reply.
TEST_F(SftpSession, AStoppedDownloadClosesTheSession) {
    test::SshdDaemon sshd(sshd_config());
    if (!sshd.running()) GTEST_SKIP() << sshd.why();
    FtpSessionHarness h(engines_, requests_, kProtocolSftp, 20);
    ASSERT_TRUE(h.ok());
    ASSERT_EQ(connect(h, sshd.port()), 0) << h.dump() << sshd.log();
    ASSERT_EQ(h.change_folder(server_.path()), 0) << h.dump();
    test::write_all(server_.file("big.bin"), test::random_bytes(4 << 20));
    EXPECT_EQ(h.download_stopped_when("big.bin", local_.file("big.bin"), [] { return true; }), 1) << h.dump();
    EXPECT_EQ(h.s().failure.kind, FailureKind::kUser) << h.dump();
    EXPECT_FALSE(session_connected(h.s()));
    EXPECT_EQ(h.change_folder(server_.path()), 1) << h.dump();
}

TEST_F(SftpSession, KnownHostsBeforeAndAfterTheConnect) {
    test::SshdDaemon sshd(sshd_config());
    if (!sshd.running()) GTEST_SKIP() << sshd.why();
    const std::string known_hosts = known_.file("known_hosts");
    for (int round = 0; round < 2; ++round) {
        FtpSessionHarness h(engines_, requests_, kProtocolSftp, 20);
        ASSERT_TRUE(h.ok());
        ASSERT_EQ(connect(h, sshd.port()), 0) << h.dump();
    }
    std::string line = read_file(known_hosts);
    ASSERT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;  // recorded once, then known
    // The same name and type with another key on record.
    std::string type = line.substr(line.find(' ') + 1);
    type = type.substr(0, type.find(' '));
    std::string other;
    for (const test::TestKeyFile& key : test::test_key_files())
        if (ssh::key_type_name(key.kind) == type &&
            line.find(base64_encode(key.public_blob)) == std::string::npos)
            other = base64_encode(key.public_blob);
    ASSERT_FALSE(other.empty()) << type;
    const std::string changed = line.substr(0, line.rfind(' ')) + " " + other + "\n";
    test::write_all(known_hosts, changed);
    FtpSessionHarness h(engines_, requests_, kProtocolSftp, 20);
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(connect(h, sshd.port()), 1);
    EXPECT_EQ(h.s().failure.kind, FailureKind::kUser) << h.s().failure.cause;
    EXPECT_EQ(read_file(known_hosts), changed);  // nothing was recorded over it
}

// A peer that accepts and then says nothing, and one that hangs up after its identification:
// connect fails within the timeout, with a word.
TEST_F(SftpSession, SilentOrVanishingServerFailsTheConnect) {
    {
        test::Listener silent;
        std::thread peer([&] {
            int fd = silent.accept(5000);
            std::this_thread::sleep_for(std::chrono::seconds(4));
            test::close_fd(fd);
        });
        FtpSessionHarness h(engines_, requests_, kProtocolSftp, 1);
        EXPECT_EQ(h.connect(silent.port(), "u", "p"), 1);
        EXPECT_TRUE(h.logged_prefix(kLevelError, "ERROR: The server did not answer within 1 seconds"))
            << h.dump();
        EXPECT_EQ(h.s().failure.kind, FailureKind::kTimeout);
        peer.join();
    }
    {
        test::Listener vanishing;
        std::thread peer([&] {
            int fd = vanishing.accept(5000);
            test::send_all(fd, "SSH-2.0-OpenSSH_9.2p1\r\n");
            test::close_fd(fd);
        });
        FtpSessionHarness h(engines_, requests_, kProtocolSftp, 10);
        EXPECT_EQ(h.connect(vanishing.port(), "u", "p"), 1);
        EXPECT_TRUE(h.logged_prefix(kLevelError, "ERROR: The server closed the SFTP session")) << h.dump();
        EXPECT_EQ(h.s().failure.kind, FailureKind::kRemote);
        peer.join();
    }
}

}  // namespace
}  // namespace orvane
