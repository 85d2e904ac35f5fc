// FTP requests against real vsftpd and pyftpdlib, passive and active: login, folders, listings, byte-exact
// transfers (binary and ASCII), resume, duplicate rules, file times, deletes and raw commands.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <optional>

#include "common/log.h"
#include "platform/file.h"
#include "tests/client/transfer/ftp/ftp_server_modes.h"
#include "tests/client/transfer/ftp/ftp_session_harness.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::FtpServer;
using test::FtpServerKind;
using test::random_bytes;
using test::read_all;
using test::write_all;

std::string sha256(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), digest, &n, EVP_sha256(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) out += {hex[digest[i] >> 4], hex[digest[i] & 15]};
    return out;
}

void set_time(const std::string& path, int64_t unix_seconds) {
    platform::FileHandle h = platform::file_open(path, platform::kOpenAppend);
    platform::file_set_last_write_time(h, platform::filetime_from_unix(unix_seconds));
    platform::file_close(h);
}
int64_t time_of(const std::string& path) {
    return platform::unix_from_filetime(platform::path_last_write_time(path));
}

using Mode = test::ServerMode;

class FtpRealServer : public testing::TestWithParam<Mode> {
  protected:
    void SetUp() override {
        ASSERT_EQ(server.start(GetParam().kind), 0) << server.error();
        ASSERT_TRUE(h.ok());
        h.s().passive = GetParam().passive ? 1 : 0;
        ASSERT_EQ(h.connect(server.port(), server.user(), server.password()), 0) << h.dump();
        ASSERT_EQ(h.change_folder(server.remote_home()), 0) << h.dump();
    }
    bool vsftpd() const { return GetParam().kind == FtpServerKind::kVsftpd; }
    std::string remote(const std::string& name) { return server.local_home() + "/" + name; }
    // A file in the server's folder that the server's own user may replace.
    void put(const std::string& name, const std::string& content) {
        write_all(remote(name), content);
        std::filesystem::permissions(remote(name), std::filesystem::perms::all);
    }

    FtpServer server;
    test::TempDir local;
    test::FtpSessionHarness h;
};

TEST_P(FtpRealServer, BinaryFilesTravelByteExactBothWays) {
    EXPECT_EQ(h.s().remote_folder, "/pub");
    const std::string big = random_bytes(3 * 1024 * 1024 + 17, 1);
    const std::string small = random_bytes(100, 2);
    write_all(local.file("big.bin"), big);
    write_all(local.file("small.bin"), small);
    write_all(local.file("empty.bin"), "");
    ASSERT_EQ(h.upload(local.file("big.bin"), "big.bin"), 0) << h.dump();
    ASSERT_EQ(h.upload(local.file("small.bin"), "small.bin"), 0) << h.dump();
    ASSERT_EQ(h.upload(local.file("empty.bin"), "empty.bin"), 0) << h.dump();
    EXPECT_EQ(sha256(read_all(remote("big.bin"))), sha256(big));
    EXPECT_EQ(read_all(remote("small.bin")), small);
    EXPECT_TRUE(std::filesystem::exists(remote("empty.bin")));

    ASSERT_EQ(h.download("big.bin", local.file("big.back")), 0) << h.dump();
    ASSERT_EQ(h.download("small.bin", local.file("small.back")), 0) << h.dump();
    ASSERT_EQ(h.download("empty.bin", local.file("empty.back")), 0) << h.dump();
    EXPECT_EQ(sha256(read_all(local.file("big.back"))), sha256(big));
    EXPECT_EQ(read_all(local.file("small.back")), small);
    EXPECT_TRUE(std::filesystem::exists(local.file("empty.back")));
    EXPECT_EQ(h.s().listing.size(), 0u);
}

// ASCII: CR LF on the wire, LF in the local file, both ways, over many blocks (so CR LF pairs
// fall across block ends). vsftpd stores and sends the wire bytes as they are; pyftpdlib turns
// them into its own line ends, so the remote side is checked against vsftpd.
TEST_P(FtpRealServer, AsciiTransfersConvertLineEndsBothWays) {
    std::string text, wire;
    for (int i = 0; text.size() < 700000; ++i) {
        std::string line = "line " + std::to_string(i) + std::string(static_cast<size_t>(i % 37), 'x');
        text += line + "\n";
        wire += line + "\r\n";
    }
    write_all(local.file("text.txt"), text);
    h.s().transfer_type = kTransferAscii;
    ASSERT_EQ(h.upload(local.file("text.txt"), "text.txt"), 0) << h.dump();
    if (vsftpd()) {
        EXPECT_TRUE(read_all(remote("text.txt")) == wire) << "CR LF on the wire";
    }
    ASSERT_EQ(h.download("text.txt", local.file("text.back")), 0) << h.dump();
    EXPECT_TRUE(read_all(local.file("text.back")) == text) << "LF in the local file";
    put("unix.txt", "one\ntwo\r\nthree\rfour\n");
    ASSERT_EQ(h.download("unix.txt", local.file("unix.back")), 0) << h.dump();
    if (vsftpd()) {
        EXPECT_EQ(read_all(local.file("unix.back")), "one\ntwo\nthree\rfour\n");
    }
    EXPECT_TRUE(h.logged(kLevelCommand, "TYPE A"));
}

TEST_P(FtpRealServer, ListingShowsFoldersFilesAndNamesWithSpaces) {
    put("a b.txt", std::string(1234, 'x'));
    std::filesystem::create_directory(remote("docs"));
    ASSERT_EQ(h.listing(), 0) << h.dump();
    auto find = [&](const std::string& name) -> std::optional<RemoteFileEntry> {
        for (const RemoteFileEntry& e : h.s().listing)
            if (e.name == name) return e;
        return std::nullopt;
    };
    ASSERT_TRUE(find("a b.txt")) << h.dump();
    EXPECT_EQ(find("a b.txt")->size, 1234u);
    EXPECT_EQ(find("a b.txt")->type, kEntryFile);
    ASSERT_TRUE(find("docs"));
    EXPECT_EQ(find("docs")->type, kEntryFolder);
    EXPECT_FALSE(find("."));

    h.s().listing_kind = 1;
    ASSERT_EQ(h.listing(), 0) << h.dump();
    EXPECT_TRUE(find("a b.txt")) << "NLST names";
    EXPECT_TRUE(h.logged(kLevelCommand, "NLST"));
}

TEST_P(FtpRealServer, DownloadResumesSkipsAndOverwritesBySize) {
    const std::string content = random_bytes(200000, 3);
    put("data.bin", content);
    h.s().download_rules =
        DuplicateRules{kCompareBySize, kDuplicateResume, kDuplicateSkip, kDuplicateOverwrite};

    write_all(local.file("data.bin"), content.substr(0, 70000));
    ASSERT_EQ(h.download("data.bin", local.file("data.bin")), 0) << h.dump();
    EXPECT_EQ(sha256(read_all(local.file("data.bin"))), sha256(content));
    EXPECT_TRUE(h.logged(kLevelCommand, "REST 70000")) << h.dump();

    h.clear_log();
    ASSERT_EQ(h.download("data.bin", local.file("data.bin")), 0);
    EXPECT_TRUE(h.logged(kLevelInfo, "Skipping duplicate file based on user defined rules"));
    EXPECT_FALSE(h.logged_prefix(kLevelCommand, "RETR")) << "an equal file is not fetched";

    h.clear_log();
    write_all(local.file("data.bin"), content + "extra tail");
    ASSERT_EQ(h.download("data.bin", local.file("data.bin")), 0);
    EXPECT_EQ(read_all(local.file("data.bin")), content) << "a larger file is replaced";
    EXPECT_FALSE(h.logged_prefix(kLevelCommand, "REST"));
}

TEST_P(FtpRealServer, UploadResumesAndRenamesTheOldRemoteFile) {
    const std::string content = random_bytes(150000, 4);
    write_all(local.file("up.bin"), content);
    put("up.bin", content.substr(0, 50000));
    h.s().upload_rules =
        DuplicateRules{kCompareBySize, kDuplicateResume, kDuplicateSkip, kDuplicateOverwrite};
    ASSERT_EQ(h.upload(local.file("up.bin"), "up.bin"), 0) << h.dump();
    EXPECT_TRUE(h.logged(kLevelCommand, "REST 50000"));
    EXPECT_EQ(sha256(read_all(remote("up.bin"))), sha256(content));

    const std::string old_content = "the old remote file";
    put("keep.txt", old_content);
    write_all(local.file("keep.txt"), "the new local file");
    h.s().upload_rules = DuplicateRules{kCompareBySize, kDuplicateRename, kDuplicateRename, kDuplicateRename};
    h.clear_log();
    ASSERT_EQ(h.upload(local.file("keep.txt"), "keep.txt"), 0) << h.dump();
    EXPECT_TRUE(h.logged(kLevelCommand, "RNFR keep.txt"));
    EXPECT_TRUE(h.logged(kLevelCommand, "RNTO keep.txt.fbak"));
    EXPECT_TRUE(h.logged(kLevelInfo, "Renaming duplicate file based on user defined rules"));
    EXPECT_EQ(read_all(remote("keep.txt.fbak")), old_content);
    EXPECT_EQ(read_all(remote("keep.txt")), "the new local file");
}

TEST_P(FtpRealServer, FileTimesFollowTheSource) {
    put("dated.txt", "dated");
    set_time(remote("dated.txt"), 1600000000);
    ASSERT_EQ(h.download("dated.txt", local.file("dated.txt")), 0) << h.dump();
    EXPECT_EQ(time_of(local.file("dated.txt")), 1600000000);

    write_all(local.file("sent.txt"), "sent");
    set_time(local.file("sent.txt"), 1500000000);
    ASSERT_EQ(h.upload(local.file("sent.txt"), "sent.txt"), 0) << h.dump();
    EXPECT_EQ(time_of(remote("sent.txt")), 1500000000) << h.dump();
    // pyftpdlib reads MDTM but sets times only with MFMT.
    EXPECT_EQ(h.logged_prefix(kLevelCommand, "MFMT 20170714024000 sent.txt"), !vsftpd()) << h.dump();
    EXPECT_FALSE(h.logged(kLevelWarning, "Could not update remote file time"));
}

TEST_P(FtpRealServer, FolderRenameDeleteAndRawCommands) {
    ASSERT_EQ(
        h.run([&](DoneCallback d, int c, void* o) { return request_make_folder(h.s(), "made", d, c, o); }),
        0);
    EXPECT_TRUE(std::filesystem::is_directory(remote("made")));
    put("made/inner.txt", "inner");
    put("old.txt", "old");
    ASSERT_EQ(h.run([&](DoneCallback d, int c, void* o) {
        return request_rename(h.s(), "old.txt", "made/new.txt", d, c, o);
    }),
              0);
    EXPECT_EQ(read_all(remote("made/new.txt")), "old");
    EXPECT_TRUE(h.logged(kLevelCommand, "RNFR /pub/old.txt"));

    set_time(remote("made/new.txt"), 1234567890);
    ASSERT_EQ(h.run([&](DoneCallback d, int c, void* o) {
        return request_modification_time(h.s(), "made/new.txt", d, c, o);
    }),
              0);
    EXPECT_EQ(h.s().modification_time.substr(0, 14), "20090213233130");

    ASSERT_EQ(h.change_folder("made"), 0);
    EXPECT_EQ(h.s().remote_folder, "/pub/made");
    ASSERT_EQ(h.change_folder(".."), 0);
    EXPECT_EQ(h.s().remote_folder, "/pub");

    ASSERT_EQ(
        h.run([&](DoneCallback d, int c, void* o) { return request_custom_command(h.s(), "NOOP", d, c, o); }),
        0);
    EXPECT_EQ(h.run([&](DoneCallback d, int c, void* o) {
        return request_custom_command(h.s(), "NOSUCHCOMMAND", d, c, o);
    }),
              1);

    std::vector<RemoteFileEntry> doomed(3);
    doomed[0].name = "made/inner.txt";
    doomed[1].name = "made/new.txt";
    doomed[2].name = "made";
    doomed[2].type = kEntryFolder;
    ASSERT_EQ(
        h.run([&](DoneCallback d, int c, void* o) { return request_delete_list(h.s(), doomed, d, c, o); }), 0)
        << h.dump();
    EXPECT_FALSE(std::filesystem::exists(remote("made")));
    // A missing entry fails the request and stops it there.
    put("last.txt", "x");
    std::vector<RemoteFileEntry> partly(2);
    partly[0].name = "missing.txt";
    partly[1].name = "last.txt";
    EXPECT_EQ(
        h.run([&](DoneCallback d, int c, void* o) { return request_delete_list(h.s(), partly, d, c, o); }),
        1);
    EXPECT_TRUE(std::filesystem::exists(remote("last.txt")));

    EXPECT_EQ(h.disconnect(), 0);
    EXPECT_TRUE(h.logged(kLevelCommand, "QUIT"));
    EXPECT_EQ(h.listing(), 1) << "no connection left";
}

TEST_P(FtpRealServer, MissingFilesFailWithTheirMessages) {
    EXPECT_EQ(h.download("no-such-file", local.file("never")), 1);
    EXPECT_EQ(h.s().failure.kind, FailureKind::kRemote);
    EXPECT_EQ(h.upload(local.file("no-such-local"), "x.bin"), 1);
    EXPECT_EQ(h.s().failure.kind, FailureKind::kLocal);
    EXPECT_TRUE(h.logged(kLevelError, "Could not open local file " + local.file("no-such-local") +
                                          ": No such file or directory"))
        << h.dump();
    // The session is still usable afterwards.
    write_all(local.file("after.bin"), "after");
    EXPECT_EQ(h.upload(local.file("after.bin"), "after.bin"), 0) << h.dump();
    EXPECT_EQ(read_all(remote("after.bin")), "after");
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpRealServer, test::every_server_mode(), test::server_mode_name);

}  // namespace
}  // namespace orvane
