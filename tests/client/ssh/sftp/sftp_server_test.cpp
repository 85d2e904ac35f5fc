// The SFTP engine against OpenSSH's own sftp-server, spoken to over its standard input and output:
// every operation, byte-exact content, resume in both directions, preserved times.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "client/ssh/sftp/sftp_client.h"
#include "common/log.h"
#include "tests/client/ssh/sftp/sftp_pipe.h"
#include "tests/support/temp_dir.h"

namespace orvane::sftp {
namespace {

using test::read_all;
using test::TempDir;
using test::write_all;

std::string g_log;
void capture(void*, const char* text, int, int) {
    g_log += std::string(text) + "\n";
}

class SftpServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::sftp_server_binary().empty()) GTEST_SKIP() << "sftp-server is not installed";
        g_log.clear();
        remote_ = dir_.file("remote");
        local_ = dir_.file("local");
        std::filesystem::create_directories(remote_);
        std::filesystem::create_directories(local_);
        server_ = std::make_unique<test::SftpServerProcess>(remote_);
        ASSERT_EQ(client_.start(), 0);
        ASSERT_EQ(server_->run(client_), 0);
        ASSERT_EQ(client_.version(), 3u);
        ASSERT_EQ(client_.current_directory(), 0);
        ASSERT_EQ(server_->run(client_), 0);
    }

    int op(int started) { return started != 0 ? 1 : server_->run(client_); }
    Transfer transfer(const std::string& name, DuplicateAction action = kDuplicateOverwrite) {
        Transfer t;
        t.remote_path = client_.directory() + "/" + name;
        t.local_path = local_ + "/" + name;
        t.rules.smaller = t.rules.equal = t.rules.larger = action;
        return t;
    }
    static time_t mtime(const std::string& path) {
        struct stat st {};
        ::stat(path.c_str(), &st);
        return st.st_mtime;
    }
    static void set_mtime(const std::string& path, time_t t) {
        timespec ts[2] = {{t, 0}, {t, 0}};
        utimensat(AT_FDCWD, path.c_str(), ts, 0);
    }

    TempDir dir_;
    std::string remote_, local_;
    std::unique_ptr<test::SftpServerProcess> server_;
    Client client_{capture, nullptr};
};

TEST_F(SftpServerTest, CurrentDirectoryIsTheServersFolder) {
    EXPECT_EQ(client_.directory(), std::filesystem::canonical(remote_).string());
    EXPECT_NE(g_log.find("Remote directory is " + client_.directory()), std::string::npos);
}

TEST_F(SftpServerTest, UploadAndDownloadAreByteExactAndKeepTimes) {
    // Sizes around the block and the pipeline: empty, one byte, exactly two blocks, beyond the
    // 64 outstanding requests of a window.
    for (size_t size : {size_t{0}, size_t{1}, size_t{65536}, size_t{32768 * 64 + 1000}, size_t{5 << 20}}) {
        SCOPED_TRACE(size);
        std::string name = "f" + std::to_string(size);
        std::string data = test::random_bytes(size, static_cast<unsigned>(size));
        write_all(local_ + "/" + name, data);
        set_mtime(local_ + "/" + name, 1000000000);
        ASSERT_EQ(op(client_.upload(transfer(name))), 0) << g_log;
        EXPECT_EQ(read_all(remote_ + "/" + name), data);
        EXPECT_EQ(mtime(remote_ + "/" + name), 1000000000);

        std::filesystem::remove(local_ + "/" + name);
        set_mtime(remote_ + "/" + name, 1100000000);
        ASSERT_EQ(op(client_.download(transfer(name))), 0) << g_log;
        EXPECT_EQ(read_all(local_ + "/" + name), data);
        EXPECT_EQ(mtime(local_ + "/" + name), 1100000000);
        EXPECT_EQ(client_.bytes_transferred(), size);
    }
}

TEST_F(SftpServerTest, ResumeContinuesFromTheTargetsSize) {
    std::string data = test::random_bytes(100000, 7);
    // Download: the local file holds the first 40000 bytes.
    write_all(remote_ + "/d", data);
    write_all(local_ + "/d", data.substr(0, 40000));
    ASSERT_EQ(op(client_.download(transfer("d", kDuplicateResume))), 0) << g_log;
    EXPECT_EQ(read_all(local_ + "/d"), data);
    EXPECT_EQ(client_.bytes_transferred(), 60000u);
    // Upload: the remote file holds the first 40000 bytes; it is opened without truncation.
    write_all(local_ + "/u", data);
    write_all(remote_ + "/u", data.substr(0, 40000));
    ASSERT_EQ(op(client_.upload(transfer("u", kDuplicateResume))), 0) << g_log;
    EXPECT_EQ(read_all(remote_ + "/u"), data);
    EXPECT_EQ(client_.bytes_transferred(), 60000u);
}

TEST_F(SftpServerTest, DuplicateRulesSkipAndRename) {
    write_all(remote_ + "/s", "remote");
    write_all(local_ + "/s", "local!");
    ASSERT_EQ(op(client_.download(transfer("s", kDuplicateSkip))), 0);
    EXPECT_EQ(read_all(local_ + "/s"), "local!");
    EXPECT_NE(g_log.find("Skipping duplicate file based on user defined rules"), std::string::npos);

    ASSERT_EQ(op(client_.download(transfer("s", kDuplicateRename))), 0) << g_log;
    EXPECT_EQ(read_all(local_ + "/s"), "remote");
    EXPECT_EQ(read_all(local_ + "/s.fbak"), "local!");

    write_all(local_ + "/s", "newer local");
    ASSERT_EQ(op(client_.upload(transfer("s", kDuplicateRename))), 0) << g_log;
    EXPECT_EQ(read_all(remote_ + "/s"), "newer local");
    EXPECT_EQ(read_all(remote_ + "/s.fbak"), "remote");
}

TEST_F(SftpServerTest, FolderOperationsAndListing) {
    ASSERT_EQ(op(client_.make_folder("sub")), 0);
    EXPECT_TRUE(std::filesystem::is_directory(remote_ + "/sub"));
    write_all(remote_ + "/sub/.hidden", "h");
    write_all(remote_ + "/sub/a", "12345");
    ASSERT_EQ(op(client_.change_directory("sub")), 0);
    EXPECT_EQ(client_.directory(), std::filesystem::canonical(remote_ + "/sub").string());
    ASSERT_EQ(op(client_.list()), 0);
    ASSERT_EQ(client_.listing().size(), 2u);  // "." and ".." dropped, ".hidden" kept
    for (const RemoteFileEntry& e : client_.listing()) {
        EXPECT_TRUE(e.name == ".hidden" || e.name == "a");
        EXPECT_EQ(e.type, kEntryFile);
        EXPECT_NE(e.long_name.find(e.name), std::string::npos);
        if (e.name == "a") {
            EXPECT_EQ(e.size, 5u);
        }
    }
    // The engine takes the paths its caller prepared: full ones here.
    const std::string sub = client_.directory();
    ASSERT_EQ(op(client_.rename(sub + "/a", sub + "/b")), 0);
    EXPECT_EQ(read_all(remote_ + "/sub/b"), "12345");
    ASSERT_EQ(op(client_.stat(sub + "/b")), 0);
    EXPECT_EQ(client_.entry().size, 5u);
    ASSERT_EQ(op(client_.set_time(sub + "/b", 1200000000)), 0);
    EXPECT_EQ(mtime(remote_ + "/sub/b"), 1200000000);

    // Changing into a file fails and keeps the folder.
    EXPECT_EQ(op(client_.change_directory(sub + "/b")), 1);
    EXPECT_NE(g_log.find("Could not change to remote folder"), std::string::npos);
    EXPECT_EQ(client_.directory(), sub);

    ASSERT_EQ(op(client_.change_directory(sub + "/..")), 0);
    EXPECT_EQ(op(client_.remove_folder(sub)), 1);  // not empty
    ASSERT_EQ(op(client_.remove(sub + "/b")), 0);
    ASSERT_EQ(op(client_.remove(sub + "/.hidden")), 0);
    ASSERT_EQ(op(client_.remove_folder(sub)), 0);
    EXPECT_FALSE(std::filesystem::exists(remote_ + "/sub"));
    EXPECT_FALSE(client_.broken());
}

TEST_F(SftpServerTest, FailuresEndTheOperationNotTheSession) {
    EXPECT_EQ(op(client_.download(transfer("missing"))), 1);
    EXPECT_EQ(op(client_.remove("missing")), 1);
    EXPECT_EQ(op(client_.upload(transfer("no-local-file"))), 1);
    EXPECT_NE(g_log.find("Could not open local file"), std::string::npos);
    EXPECT_FALSE(client_.broken());
    EXPECT_EQ(op(client_.stat(".")), 0);
}

}  // namespace
}  // namespace orvane::sftp
