// FTP requests against a scripted server over loopback, for what needs a socket or a data connection
// and replies real servers will not give: the login procedure, a TLS switch with no TLS at hand,
// refused REST, odd PASV and LIST answers, failures mid-transfer. Control-channel transcripts alone
// run in memory (ftp_engine_test).
#include <gtest/gtest.h>

#include <string>

#include "client/transfer/ftp/ftp_state.h"
#include "common/log.h"
#include "platform/file.h"
#include "tests/client/transfer/ftp/ftp_session_harness.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::ScriptedFtpServer;

const std::string kLogin =
    "> 220 scripted\n"
    "< USER u\n"
    "> 331 need password\n"
    "< PASS p\n"
    "> 230 in\n"
    "< PWD\n"
    "> 257 \"/\" is current\n";

// The server and a session connected to it (unless the script's opening is not a login).
struct Scripted {
    ScriptedFtpServer server;
    test::FtpSessionHarness h;
    test::TempDir dir;
    explicit Scripted(const std::string& script, int protocol = kProtocolFtp,
                      FilterProviders providers = test::ftp_providers())
        : h(protocol, 0, providers) {
        EXPECT_EQ(server.start(script), 0);
    }
    int connect() { return h.connect(server.port(), "u", "p"); }
    // Waits for the script's end: "" when it went as written, else why not.
    std::string finished() { return server.wait() == 0 ? "" : server.failure(); }
};

TEST(FtpScripted, AUserAcceptedWithoutPasswordGoesOnToPwd) {
    Scripted t(
        "> 220-Welcome\n"
        "> 220-to the second line\n"
        "> 220 ready\n"
        "< USER u\n"
        "> 230 no password needed\n"
        "< PWD\n"
        "> 257 \"/home/u\" is current\n");
    EXPECT_EQ(t.connect(), 0) << t.h.dump();
    EXPECT_EQ(t.finished(), "");
    EXPECT_EQ(t.h.s().remote_folder, "/home/u");
    EXPECT_FALSE(t.h.logged_prefix(kLevelCommand, "PASS"));
}

TEST(FtpScripted, WithoutTlsAtHandNoLoginGoesOutInPlainText) {
    Scripted t(
        "> 220 hello\n"
        "< AUTH TLS\n> 504 no\n"
        "< AUTH TLS-C\n> 504 no\n"
        "< AUTH TLS-P\n> 234 go ahead\n"
        "pause 300\n",
        kProtocolFtpsClear, FilterProviders{});
    // An engine without a TLS provider: the switch to TLS fails before anything else is sent.
    EXPECT_EQ(t.connect(), 1);
    EXPECT_EQ(t.finished(), "");
    EXPECT_EQ(t.server.commands().size(), 3u) << "USER is never sent in plain text";
    EXPECT_EQ(t.h.s().failure.kind, FailureKind::kLocal) << t.h.dump();
}

TEST(FtpScripted, RefusedRestWarnsAndLaterResumesOverwriteWithoutAsking) {
    // The server keeps TYPE I: the second download does not send it again.
    const std::string download =
        "< MDTM f.bin\n> 213 20200102030405\n"
        "< SIZE f.bin\n> 213 10\n"
        "< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n";
    Scripted t(kLogin + "< TYPE I\n> 200 binary\n" + download +
               "< REST 5\n> 502 REST not implemented\n"
               "< RETR f.bin\n> 150 Opening BINARY mode data connection for f.bin (10 bytes).\n"
               "data-send helloworld\n> 226 done\n" +
               download + "< RETR f.bin\n> 150 Opening\ndata-send helloworld\n> 226 done\n");
    ASSERT_EQ(t.connect(), 0);
    t.h.s().download_rules =
        DuplicateRules{kCompareBySize, kDuplicateResume, kDuplicateSkip, kDuplicateOverwrite};
    std::string local = t.dir.file("f.bin");
    test::write_all(local, "hello");
    ASSERT_EQ(t.h.download("f.bin", local), 0) << t.h.dump();
    EXPECT_EQ(test::read_all(local), "helloworld");
    EXPECT_EQ(ftp_state(t.h.s()).session.host_supports_resume, 0);
    test::write_all(local, "hello");
    ASSERT_EQ(t.h.download("f.bin", local), 0) << t.h.dump();
    EXPECT_EQ(test::read_all(local), "helloworld");
    EXPECT_EQ(t.finished(), "");
    EXPECT_EQ(t.h.count(kLevelWarning, "The remote host does not support file resuming. Overwriting file"),
              2u);
    EXPECT_EQ(t.h.count(kLevelCommand, "REST 5"), 1u);
    // 2020-01-02 03:04:05 UTC
    EXPECT_EQ(platform::unix_from_filetime(platform::path_last_write_time(local)), 1577934245);
}

// A stopped download: the data connection closes, ABOR goes out, and both final replies (the
// transfer's and ABOR's) are read, so the next command gets its own answer.
TEST(FtpScripted, AStoppedDownloadSendsAborAndTheConnectionStaysInStep) {
    Scripted t(kLogin +
               "< TYPE I\n> 200 binary\n"
               "< MDTM f.bin\n> 550 no time\n"
               "< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n"
               "< RETR f.bin\n> 150 Opening BINARY mode data connection for f.bin (1000 bytes).\n"
               "data-hold hello\n"
               "< ABOR\n> 426 Transfer aborted\n> 226 ABOR command successful\n"
               "< CWD /next\n> 250 ok\n< PWD\n> 257 \"/next\" is current\n");
    ASSERT_EQ(t.connect(), 0);
    std::string local = t.dir.file("f.bin");
    EXPECT_EQ(t.h.download_stopped_when("f.bin", local, [&] { return t.h.s().progress_bytes.load() == 5; }),
              1)
        << t.h.dump();
    EXPECT_EQ(t.h.s().failure.kind, FailureKind::kUser) << t.h.dump();
    EXPECT_EQ(test::read_all(local), "hello");
    EXPECT_EQ(t.h.change_folder("/next"), 0) << t.h.dump();
    EXPECT_EQ(t.h.s().remote_folder, "/next");
    EXPECT_EQ(t.finished(), "");
}

TEST(FtpScripted, ListingOfEveryLayoutThroughOddPasvReplies) {
    const std::string listing =
        "total 12\\r\\n"
        "drwxr-xr-x 2 user group 4096 Mar 3 12:30 docs\\r\\n"
        "-rw-r--r-- 1 user group 5000000000 Jan 1 2020 huge.iso\\r\\n"
        "-rw-r--r-- 1 user 1,234 Jun 1 2020 a b.txt\\r\\n"
        "lrwxrwxrwx 1 user group 12 Jun 1 2020 current -> releases/2.0\\r\\n"
        "05-17-05  02:47PM       <DIR>          dosdir\\r\\n"
        "12/31/99  11:59 PM 100 dos.txt\\r\\n"
        "+m824255902,/,\tdir\\r\\n"
        "+s280,r,\tfile.txt\\r\\n"
        "drwxr-xr-x 2 user group 4096 Mar 3 12:30 .\\r\\n"
        "drwxr-xr-x 2 user group 4096 Mar 3 12:30 ..\\r\\n";
    Scripted t(kLogin +
               "< TYPE A\n> 200 ascii\n"
               "< PASV\n> 227 Entering Passive Mode ( 127, 0,0 ,1,{DATA} ).\n"
               "< LIST\n> 150 here\n"
               "data-send " +
               listing +
               "\n> 226 done\n"
               "< PASV\n> 227 Entering Passive Mode 127,0,0,1,{DATA}\n"
               "< LIST\ndata-send\n> 226 nothing to list\n"
               "< PASV\n> 227 Entering Passive Mode (10,1,2,3,{DATA})\n"
               "< LIST\n> 425 Can't open data connection\n");
    ASSERT_EQ(t.connect(), 0);
    ASSERT_EQ(t.h.listing(), 0) << t.h.dump();
    std::vector<RemoteFileEntry> got = t.h.s().listing.entries();
    ASSERT_EQ(got.size(), 8u) << t.h.dump();
    EXPECT_EQ(got[0].name, "docs");
    EXPECT_EQ(got[0].type, kEntryFolder);
    EXPECT_EQ(got[1].name, "huge.iso");
    EXPECT_EQ(got[1].size32(), 4294967295u);
    EXPECT_EQ(got[2].name, "a b.txt");
    EXPECT_EQ(got[2].size, 1234u);
    EXPECT_EQ(got[3].name, "current");
    EXPECT_EQ(got[3].type, kEntryLink);
    EXPECT_EQ(got[4].name, "dosdir");
    EXPECT_EQ(got[4].type, kEntryFolder);
    EXPECT_EQ(got[4].time_text, "20050517144700");
    EXPECT_EQ(got[5].name, "dos.txt");
    EXPECT_EQ(got[5].size, 100u);
    EXPECT_EQ(got[6].name, "dir");
    EXPECT_EQ(got[6].type, kEntryFolder);
    EXPECT_EQ(got[7].name, "file.txt");
    EXPECT_EQ(got[7].size, 280u);

    EXPECT_EQ(t.h.listing(), 0) << "226 alone: an empty listing " << t.h.dump();
    EXPECT_TRUE(t.h.s().listing.empty());

    EXPECT_EQ(t.h.listing(), 1) << "425 fails, and the waiting data step ends" << t.h.dump();
    EXPECT_TRUE(
        t.h.logged(kLevelWarning,
                   "The passive reply names address 10.1.2.3; connecting to the server's address 127.0.0.1 "
                   "instead"))
        << t.h.dump();
    EXPECT_EQ(t.finished(), "");
}

const std::string kRetrieveStart =
    "< TYPE I\n> 200 binary\n"
    "< MDTM f.bin\n> 550 no time\n"
    "< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n"
    "< RETR f.bin\n";

TEST(FtpScripted, RetrRefusedWhileTheDataConnectionWaitsFails) {
    Scripted t(kLogin + kRetrieveStart + "> 550 No such file\n");
    ASSERT_EQ(t.connect(), 0);
    EXPECT_EQ(t.h.download("f.bin", t.dir.file("f.bin")), 1);
    EXPECT_EQ(t.finished(), "");
    EXPECT_EQ(t.h.s().failure.kind, FailureKind::kRemote);
    EXPECT_FALSE(platform::path_exists(t.dir.file("f.bin"))) << "a refused download leaves no file behind";
}

TEST(FtpScripted, ALargeFileArrivingWithItsCloseIsWrittenWhole) {
    std::string payload;
    for (int i = 0; payload.size() < 300000; ++i) payload += "line " + std::to_string(i) + " of the payload|";
    Scripted t(kLogin + kRetrieveStart + "> 150 Opening (" + std::to_string(payload.size()) +
               " bytes)\ndata-send " + payload + "\n> 226 done\n");
    ASSERT_EQ(t.connect(), 0);
    ASSERT_EQ(t.h.download("f.bin", t.dir.file("f.bin")), 0) << t.h.dump();
    EXPECT_EQ(test::read_all(t.dir.file("f.bin")), payload);
}

TEST(FtpScripted, ADownloadThatEndsEarlyIsAFailure) {
    {
        Scripted t(kLogin + kRetrieveStart +
                   "> 150 Opening (1000 bytes)\ndata-send 0123456789\n> 226 done\n");
        ASSERT_EQ(t.connect(), 0);
        EXPECT_EQ(t.h.download("f.bin", t.dir.file("f.bin")), 1);
        EXPECT_TRUE(t.h.logged(kLevelError, "ERROR: The download ended early: 10 of 1000 bytes"));
        EXPECT_EQ(t.h.s().failure.kind, FailureKind::kRemote);
    }
    {
        Scripted t(kLogin + kRetrieveStart +
                   "> 150 Opening\ndata-send 0123456789\n> 426 Connection closed; transfer aborted.\n");
        ASSERT_EQ(t.connect(), 0);
        EXPECT_EQ(t.h.download("f.bin", t.dir.file("f.bin")), 1);
        EXPECT_EQ(t.h.s().failure.kind, FailureKind::kRemote);
    }
    {
        Scripted t(kLogin + kRetrieveStart + "> 150 Opening\ndata-send 0123456789\nclose\n");
        ASSERT_EQ(t.connect(), 0);
        EXPECT_EQ(t.h.download("f.bin", t.dir.file("f.bin")), 1);
        EXPECT_EQ(t.h.s().failure.kind, FailureKind::kRemote) << t.h.dump();
        EXPECT_EQ(t.h.listing(), 1) << "the session knows it is no longer connected";
    }
}

// TYPE goes out only when the server's type may differ from the one a transfer needs: never twice
// in a row, but again after the other type, after a refused TYPE, after a command of the user's own,
// and on a new connection.
TEST(FtpScripted, TypeIsSentAgainWheneverTheServersTypeMayHaveChanged) {
    auto get = [](const std::string& type) {
        return (type.empty() ? "" : "< TYPE " + type + "\n> 200 ok\n") +
               "< MDTM f.bin\n> 550 no time\n< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n"
               "< RETR f.bin\n> 150 Opening\ndata-send hello\n> 226 done\n";
    };
    const std::string list_empty =
        "< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n< LIST\n> 150 here\ndata-send\n> 226 done\n";
    Scripted t(kLogin + get("I") + get("") + "< SITE CHMOD 644 f.bin\n> 200 done\n" + get("I") + get("A") +
               list_empty + "< TYPE I\n> 504 not now\n" + get("I") + "< QUIT\n> 221 bye\n");
    ScriptedFtpServer second;
    ASSERT_EQ(second.start(kLogin + get("I")), 0);
    ASSERT_EQ(t.connect(), 0);
    // Every file is fetched whole, with no SIZE query.
    const DuplicateRules overwrite{kCompareByDate, kDuplicateOverwrite, kDuplicateOverwrite,
                                   kDuplicateOverwrite};
    t.h.s().download_rules = overwrite;
    const std::string local = t.dir.file("f.bin");
    EXPECT_EQ(t.h.download("f.bin", local), 0) << t.h.dump();
    EXPECT_EQ(t.h.download("f.bin", local), 0) << "the type is still I" << t.h.dump();
    EXPECT_EQ(t.h.run([&](DoneCallback d, int c, void* o) {
        return request_custom_command(t.h.s(), "SITE CHMOD 644 f.bin", d, c, o);
    }),
              0);
    EXPECT_EQ(t.h.download("f.bin", local), 0) << "after the user's own command" << t.h.dump();
    t.h.s().transfer_type = kTransferAscii;
    EXPECT_EQ(t.h.download("f.bin", local), 0) << t.h.dump();
    EXPECT_EQ(t.h.listing(), 0) << "a listing after an ASCII transfer needs no TYPE A" << t.h.dump();
    t.h.s().transfer_type = kTransferBinary;
    EXPECT_EQ(t.h.download("f.bin", local), 1) << "TYPE I refused" << t.h.dump();
    EXPECT_EQ(t.h.download("f.bin", local), 0) << "so it is asked for again" << t.h.dump();
    EXPECT_EQ(t.h.disconnect(), 0);
    EXPECT_EQ(t.finished(), "");
    ASSERT_EQ(t.h.connect(second.port(), "u", "p"), 0) << t.h.dump();
    t.h.s().download_rules = overwrite;
    EXPECT_EQ(t.h.download("f.bin", local), 0) << "a new connection starts without a type" << t.h.dump();
    EXPECT_EQ(second.wait(), 0) << second.failure();
    EXPECT_EQ(test::read_all(local), "hello");
}

TEST(FtpScripted, UploadSendsTheFileAfterTheServersAnswer) {
    Scripted t(kLogin +
               "< TYPE I\n> 200 binary\n"
               "< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n"
               "< STOR up.txt\npause 200\n> 150 Go ahead\ndata-recv\n> 226 stored\n"
               "< MDTM *\n> 500 not here\n");
    ASSERT_EQ(t.connect(), 0);
    test::write_all(t.dir.file("up.txt"), "uploaded bytes");
    EXPECT_EQ(t.h.upload(t.dir.file("up.txt"), "up.txt"), 0) << t.h.dump();
    EXPECT_EQ(t.finished(), "");
    EXPECT_EQ(t.server.data_received(), "uploaded bytes");
    EXPECT_TRUE(t.h.logged(kLevelWarning, "Could not update remote file time"));
}

// The file is opened on the data connection's side once the server has taken RETR; its failure is
// this side's, whatever the server answers once the data connection is dropped.
TEST(FtpScripted, ADownloadThatCannotOpenItsLocalFileFailsAsLocal) {
    Scripted t(kLogin + kRetrieveStart + "> 150 Opening\ndata-hold 0123456789\n> 426 Connection closed\n");
    ASSERT_EQ(t.connect(), 0);
    std::string local = t.dir.file("no such folder/f.bin");
    EXPECT_EQ(t.h.download("f.bin", local), 1);
    EXPECT_TRUE(t.h.logged_prefix(kLevelError, "Could not open local file " + local + ": ")) << t.h.dump();
    EXPECT_EQ(t.h.s().failure.kind, FailureKind::kLocal) << t.h.dump();
}

}  // namespace
}  // namespace orvane
