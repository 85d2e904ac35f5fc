// Ctrl-C, SIGTERM, the progress line and resumed transfers, against pyftpdlib: the first download
// of each server stops part-way and waits, so an interrupt always lands inside the transfer.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "tests/support/ftp_servers.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::client_binary;
using test::DrivenProcess;
using test::FtpServer;
using test::FtpServerKind;
using test::read_all;
using test::TempDir;
using test::write_all;

constexpr uint64_t kBigSize = 200ull * 1024 * 1024;
constexpr uint64_t kStallAt = 64ull * 1024 * 1024;

bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

uint64_t size_of(const std::string& path) {
    std::error_code ec;
    auto n = std::filesystem::file_size(path, ec);
    return ec ? 0 : n;
}

// A pyftpdlib whose first download stops after kStallAt bytes, serving /pub/big.bin.
struct StallingServer {
    FtpServer server;
    std::string big;
    int start() {
        test::FtpServerOptions options;
        options.stall_first_download_at = kStallAt;
        if (server.start(FtpServerKind::kPyftpdlib, options) != 0) return 1;
        big = test::random_bytes(kBigSize, 7);
        write_all(server.local_home() + "/big.bin", big);
        return 0;
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(server.port()); }
};

TEST(ShellInterrupt, CtrlCStopsAGetWithAbortAndRegetFinishesItByteForByte) {
    StallingServer s;
    ASSERT_EQ(s.start(), 0) << s.server.error();
    TempDir dir;
    const std::string local = dir.file("big.bin");
    DrivenProcess shell(client_binary(), {s.address()}, true, {}, dir.path());
    ASSERT_TRUE(shell.wait_for("User: "));
    shell.type(s.server.user() + "\r");
    ASSERT_TRUE(shell.wait_for("Password: "));
    shell.type(s.server.password() + "\r");
    ASSERT_TRUE(shell.wait_for("fendrel> ")) << shell.output();
    shell.type("cd /pub\r");
    ASSERT_TRUE(shell.wait_for("fendrel> ")) << shell.output();
    shell.type("get big.bin\r");
    // The progress line names the file and redraws itself in place.
    ASSERT_TRUE(shell.wait_for("\rbig.bin  ")) << shell.output();
    ASSERT_TRUE(shell.wait_until([&] { return size_of(local) == kStallAt; })) << shell.output();
    shell.type("\x03");
    ASSERT_TRUE(shell.wait_for("Interrupted")) << shell.output();
    ASSERT_TRUE(shell.wait_for("is partial (" + std::to_string(kStallAt) + " bytes)")) << shell.output();
    ASSERT_TRUE(shell.wait_for("fendrel> ")) << shell.output();
    // The connection is still in step with the server: the resume runs on it.
    shell.type("reget big.bin\r");
    ASSERT_TRUE(shell.wait_for(std::to_string(kBigSize - kStallAt) + " bytes in", std::chrono::seconds(120)))
        << shell.output();
    ASSERT_TRUE(shell.wait_for("fendrel> ")) << shell.output();
    shell.type("\x04");  // Ctrl-D: the end of the input says QUIT too
    auto r = shell.finish();
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output.substr(r.output.rfind("fendrel> ")), "QUIT")) << r.output;
    EXPECT_TRUE(contains(r.output, "ABOR")) << r.output;
    EXPECT_TRUE(contains(r.output, "REST " + std::to_string(kStallAt))) << r.output;
    EXPECT_FALSE(contains(r.output, "The connection was closed")) << r.output;
    ASSERT_EQ(size_of(local), kBigSize);
    EXPECT_TRUE(read_all(local) == s.big);
}

// Unattended, SIGTERM ends the run with 143 once the connection is closed: the half file is kept
// for a resume and never reported as done; a pipe never sees the progress line.
TEST(ShellInterrupt, SigtermEndsACommandFileWith143AndReportsNoFileAsDone) {
    StallingServer s;
    ASSERT_EQ(s.start(), 0) << s.server.error();
    TempDir dir;
    write_all(dir.file("c.txt"),
              s.server.user() + "\n" + s.server.password() + "\ncd /pub\nget big.bin\nbye\n");
    const std::string local = dir.file("big.bin");
    DrivenProcess run(client_binary(), {"-s:" + dir.file("c.txt"), s.address()}, false, {}, dir.path());
    ASSERT_TRUE(run.wait_until([&] { return size_of(local) == kStallAt; })) << run.output();
    run.send_signal(SIGTERM);
    auto r = run.finish();
    EXPECT_EQ(r.exit_code, 143) << r.output;
    EXPECT_TRUE(contains(r.output, "Interrupted")) << r.output;
    EXPECT_TRUE(contains(r.output, "QUIT")) << r.output;
    EXPECT_FALSE(contains(r.output, "bytes in")) << r.output;
    EXPECT_FALSE(contains(r.output, "Transfer complete")) << r.output;
    EXPECT_FALSE(contains(r.output, "\x1b[K")) << r.output;
    EXPECT_EQ(size_of(local), kStallAt);
}

TEST(ShellInterrupt, SigtermEndsAScriptWith143) {
    StallingServer s;
    ASSERT_EQ(s.start(), 0) << s.server.error();
    TempDir dir;
    write_all(dir.file("job.fscr"), "ftpconnect \"127.0.0.1\" " + std::to_string(s.server.port()) + " \"" +
                                        s.server.user() + "\" \"" + s.server.password() +
                                        "\";\nftpsetpath remote \"/pub\";\nftpdownload file \"big.bin\";\n"
                                        "print \"after the download\";\n");
    DrivenProcess run(client_binary(), {"-script", dir.file("job.fscr")}, false, {}, dir.path());
    ASSERT_TRUE(run.wait_until([&] { return size_of(dir.file("big.bin")) == kStallAt; })) << run.output();
    run.send_signal(SIGTERM);
    auto r = run.finish();
    EXPECT_EQ(r.exit_code, 143) << r.output;
    EXPECT_FALSE(contains(r.output, "after the download")) << r.output;
    EXPECT_FALSE(contains(r.output, "Script execution complete")) << r.output;
}

// reput and get -c continue from the target's size; mput and mget say which folders they skip.
TEST(ShellResume, RegetAndReputContinueAndFolderSkipsAreReported) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kPyftpdlib), 0) << server.error();
    TempDir dir;
    const std::string data = test::random_bytes(3 * 1024 * 1024, 11);
    const std::string head = data.substr(0, 1024 * 1024);
    write_all(dir.file("up.bin"), data);
    write_all(server.local_home() + "/up.bin", head);
    write_all(server.local_home() + "/down.bin", data);
    write_all(dir.file("part.bin"), head);
    std::filesystem::create_directory(dir.file("localsub"));
    std::filesystem::create_directory(server.local_home() + "/remotesub");
    write_all(dir.file("c.txt"), server.user() + "\n" + server.password() +
                                     "\ncd /pub\nreput up.bin\nget -c down.bin part.bin\nmput local*\n"
                                     "mget remote*\nbye\n");
    // -nonlst: a name list says nothing of folders; the long one does.
    auto r = test::run_process(
        client_binary(), {"-nonlst", "-s:" + dir.file("c.txt"), "127.0.0.1:" + std::to_string(server.port())},
        {}, false, std::chrono::seconds(60), {}, dir.path());
    EXPECT_TRUE(read_all(server.local_home() + "/up.bin") == data) << r.output;
    EXPECT_TRUE(read_all(dir.file("part.bin")) == data) << r.output;
    EXPECT_TRUE(contains(r.output, "REST 1048576")) << r.output;
    EXPECT_TRUE(contains(r.output, "Skipping folder " + dir.file("localsub"))) << r.output;
    EXPECT_TRUE(contains(r.output, "Skipping folder remotesub")) << r.output;
    EXPECT_TRUE(contains(r.output, "2097152 bytes in")) << r.output;
}

}  // namespace
}  // namespace orvane
