// FTPS against real vsftpd (require_ssl_reuse) and pyftpdlib: protected and clear data channels,
// passive and active, byte-exact transfers, implicit TLS, client certificates, a broken TLS stream.
#include <gtest/gtest.h>

#include <filesystem>

#include "client/transfer/ftp/ftp_state.h"
#include "client/transfer/tls/tls_client_certificate.h"
#include "client/transfer/tls/tls_context.h"
#include "common/log.h"
#include "tests/client/transfer/ftp/ftp_session_harness.h"
#include "tests/client/transfer/tls/tls_test_peer.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::FtpServer;
using test::FtpServerKind;
using test::FtpServerOptions;
using test::random_bytes;
using test::read_all;
using test::write_all;

struct Mode {
    FtpServerKind kind;
    int protocol;
    bool passive;
};
std::string mode_name(const testing::TestParamInfo<Mode>& info) {
    return std::string(info.param.kind == FtpServerKind::kVsftpd ? "vsftpd" : "pyftpdlib") +
           (info.param.protocol == kProtocolFtpsProtected ? "Protected" : "Clear") +
           (info.param.passive ? "Passive" : "Active");
}

class FtpsRealServer : public testing::TestWithParam<Mode> {};

TEST_P(FtpsRealServer, ListingsDownloadsAndUploadsAreByteExact) {
    const Mode m = GetParam();
    FtpServer server;
    FtpServerOptions options;
    options.tls = true;
    options.clear_data_allowed = m.protocol == kProtocolFtpsClear;
    ASSERT_EQ(server.start(m.kind, options), 0) << server.error();
    test::TempDir local;
    test::FtpSessionHarness h(m.protocol);
    h.s().passive = m.passive ? 1 : 0;
    ASSERT_EQ(h.connect(server.port(), server.user(), server.password()), 0) << h.dump() << server.log();
    EXPECT_TRUE(h.logged_prefix(kLevelInfo, "TLS connection established: TLS")) << h.dump();
    EXPECT_TRUE(h.logged(kLevelInfo, "Server certificate: CN = 127.0.0.1")) << h.dump();
    EXPECT_TRUE(h.logged_prefix(kLevelInfo, "Server certificate SHA-256 fingerprint: ")) << h.dump();
    EXPECT_TRUE(h.logged(kLevelCommand, m.protocol == kProtocolFtpsClear ? "PROT C" : "PROT P")) << h.dump();
    ASSERT_EQ(h.change_folder(server.remote_home()), 0) << h.dump();

    const std::string big = random_bytes(2 * 1024 * 1024 + 17, 7);
    write_all(local.file("big.bin"), big);
    write_all(local.file("empty.bin"), "");
    ASSERT_EQ(h.upload(local.file("big.bin"), "big.bin"), 0) << h.dump() << server.log();
    ASSERT_EQ(h.upload(local.file("empty.bin"), "empty.bin"), 0) << h.dump() << server.log();
    EXPECT_TRUE(read_all(server.local_home() + "/big.bin") == big) << "upload differs";
    EXPECT_TRUE(std::filesystem::exists(server.local_home() + "/empty.bin"));

    ASSERT_EQ(h.listing(), 0) << h.dump() << server.log();
    bool listed = false;
    for (const auto& e : h.s().listing) listed = listed || (e.name == "big.bin" && e.size == big.size());
    EXPECT_TRUE(listed) << h.dump();

    ASSERT_EQ(h.download("big.bin", local.file("big.back")), 0) << h.dump() << server.log();
    ASSERT_EQ(h.download("empty.bin", local.file("empty.back")), 0) << h.dump();
    EXPECT_TRUE(read_all(local.file("big.back")) == big) << "download differs";
    EXPECT_TRUE(std::filesystem::exists(local.file("empty.back")));

    // A tree up and down: with pyftpdlib listed by MLSD, each transfer command right behind PASV.
    std::filesystem::create_directories(local.file("tree/a"));
    write_all(local.file("tree/a/b.bin"), big.substr(0, 70000));
    write_all(local.file("tree/c.txt"), "c");
    auto walk = [&](int direction, const std::string& from, const std::string& to) {
        TransferPair p;
        p.direction = direction;
        p.local.full_path = direction == 1 ? to : from;
        p.remote.full_path = direction == 1 ? from : to;
        p.local.type = p.remote.type = kEntryFolder;
        DuplicateRules rules;
        return h.run([&](DoneCallback d, int c, void* o) {
            return request_transfer_list(h.s(), {p}, rules, rules, d, c, o);
        });
    };
    ASSERT_EQ(walk(0, local.file("tree"), "/pub/tree"), 0) << h.dump() << server.log();
    ASSERT_EQ(walk(1, "/pub/tree", local.file("back")), 0) << h.dump() << server.log();
    EXPECT_TRUE(read_all(local.file("back/a/b.bin")) == big.substr(0, 70000)) << "tree differs";
    EXPECT_EQ(read_all(local.file("back/c.txt")), "c");
    EXPECT_EQ(h.disconnect(), 0);
    EXPECT_TRUE(h.lines(kLevelError).empty()) << h.dump();
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpsRealServer,
                         testing::Values(Mode{FtpServerKind::kVsftpd, kProtocolFtpsProtected, true},
                                         Mode{FtpServerKind::kVsftpd, kProtocolFtpsProtected, false},
                                         Mode{FtpServerKind::kVsftpd, kProtocolFtpsClear, true},
                                         Mode{FtpServerKind::kVsftpd, kProtocolFtpsClear, false},
                                         Mode{FtpServerKind::kPyftpdlib, kProtocolFtpsProtected, true},
                                         Mode{FtpServerKind::kPyftpdlib, kProtocolFtpsProtected, false},
                                         Mode{FtpServerKind::kPyftpdlib, kProtocolFtpsClear, true},
                                         Mode{FtpServerKind::kPyftpdlib, kProtocolFtpsClear, false}),
                         mode_name);

class Ftps : public testing::Test {};

// vsftpd with implicit_ssl greets only through TLS, and keeps data clear until "PROT P".
TEST_F(Ftps, ImplicitTlsServerIsFoundByItsSilenceAndGetsProtP) {
    FtpServer server;
    FtpServerOptions options;
    options.implicit_tls = true;
    ASSERT_EQ(server.start(FtpServerKind::kVsftpd, options), 0) << server.error();
    test::TempDir local;
    write_all(server.local_home() + "/f.txt", "implicit");
    test::FtpSessionHarness h(kProtocolFtpsProtected);
    ASSERT_EQ(h.connect(server.port(), server.user(), server.password()), 0) << h.dump() << server.log();
    EXPECT_EQ(ftp_state(h.s()).session.implicit_tls, 1);
    EXPECT_FALSE(h.logged_prefix(kLevelCommand, "AUTH"));
    EXPECT_TRUE(h.logged_prefix(kLevelResponse, "220")) << "the greeting arrives through TLS";
    EXPECT_TRUE(h.logged(kLevelCommand, "PBSZ 0"));
    EXPECT_TRUE(h.logged(kLevelCommand, "PROT P"));
    ASSERT_EQ(h.change_folder("/pub"), 0) << h.dump();
    ASSERT_EQ(h.download("f.txt", local.file("f.txt")), 0) << h.dump() << server.log();
    EXPECT_EQ(read_all(local.file("f.txt")), "implicit");
}

// vsftpd letting "anonymous" in on USER alone, and accepting clear data: the data channel is
// protected all the same, and an upload through it arrives whole.
TEST_F(Ftps, LoginOnUserAloneStillSetsProtection) {
    FtpServer server;
    FtpServerOptions options;
    options.tls = true;
    options.password_required = false;
    options.clear_data_allowed = true;
    ASSERT_EQ(server.start(FtpServerKind::kVsftpd, options), 0) << server.error();
    test::TempDir local;
    test::FtpSessionHarness h(kProtocolFtpsProtected);
    ASSERT_EQ(h.connect(server.port(), server.user(), server.password()), 0) << h.dump() << server.log();
    EXPECT_FALSE(h.logged_prefix(kLevelCommand, "PASS")) << h.dump();
    EXPECT_TRUE(h.logged(kLevelCommand, "PBSZ 0")) << h.dump();
    EXPECT_TRUE(h.logged(kLevelCommand, "PROT P")) << h.dump();
    const std::string data = random_bytes(300000, 3);
    write_all(local.file("up.bin"), data);
    ASSERT_EQ(h.change_folder("/pub"), 0) << h.dump();
    ASSERT_EQ(h.upload(local.file("up.bin"), "up.bin"), 0) << h.dump() << server.log();
    EXPECT_TRUE(read_all(server.local_home() + "/up.bin") == data);
}

// A server whose first bytes are not a reply is spoken to in TLS only: no USER in plain text.
TEST_F(Ftps, FirstBytesThatAreNotAReplyMeanTls) {
    test::ScriptedFtpServer server;
    ASSERT_EQ(server.start("= \\x16\\x03\\x01 not a reply\npause 300\n"), 0);
    test::FtpSessionHarness h(kProtocolFtpsProtected);
    EXPECT_EQ(h.connect(server.port(), "u", "p"), 1);
    server.wait();
    EXPECT_EQ(ftp_state(h.s()).session.implicit_tls, 1);
    for (const auto& command : server.commands()) EXPECT_EQ(command.find("USER"), std::string::npos);
    EXPECT_FALSE(h.logged_prefix(kLevelCommand, "USER")) << h.dump();
}

TEST_F(Ftps, TlsBrokenInTheMiddleOfADownloadFailsTheRequest) {
    FtpServer server;
    FtpServerOptions options;
    options.tls = true;
    options.corrupt_downloads = true;
    ASSERT_EQ(server.start(FtpServerKind::kPyftpdlib, options), 0) << server.error();
    write_all(server.local_home() + "/big.bin", random_bytes(1024 * 1024, 3));
    test::TempDir local;
    test::FtpSessionHarness h(kProtocolFtpsProtected);
    ASSERT_EQ(h.connect(server.port(), server.user(), server.password()), 0) << h.dump();
    ASSERT_EQ(h.change_folder("/pub"), 0);
    EXPECT_EQ(h.download("big.bin", local.file("big.bin")), 1) << h.dump() << server.log();
    // The library's reason follows the message.
    EXPECT_TRUE(h.logged_prefix(kLevelError, "ERROR: TLS failure on the data connection (")) << h.dump();
    EXPECT_EQ(h.s().failure.kind, FailureKind::kRemote);
}

// vsftpd with require_cert: only a client with a certificate its CA file verifies gets in.
class FtpsClientCertificate : public Ftps {
  protected:
    void SetUp() override {
        ca = test::make_identity("Orvane Test CA", nullptr, true);
        client = test::make_identity("orvane client", &ca, false);
        test::write_cert_pem(dir.file("ca.pem"), {ca.cert.get()});
        test::write_cert_pem(dir.file("client.PEM"), {client.cert.get()});
        test::write_key_pem(dir.file("client.key"), client.key.get(), "key secret");
        test::write_pkcs12(dir.file("client.pfx"), client, {ca.cert.get()}, "p12 secret");
        write_all(dir.file("broken.pfx"), "not a PKCS#12 file");
        FtpServerOptions options;
        options.tls = true;
        options.client_ca_file = dir.file("ca.pem");
        ASSERT_EQ(server.start(FtpServerKind::kVsftpd, options), 0) << server.error();
        write_all(server.local_home() + "/f.txt", "for certified clients");
    }
    // Connects, lists and downloads in a fresh session (and so a fresh engine: none runs between).
    int session_works() {
        test::FtpSessionHarness h(engines, test::ftp_requests(), kProtocolFtpsProtected);
        struct Keep {
            test::FtpSessionHarness& h;
            std::vector<std::string>& errors;
            ~Keep() { errors = h.lines(kLevelError); }
        } keep{h, errors};
        if (h.connect(server.port(), server.user(), server.password()) != 0) return 1;
        if (h.change_folder("/pub") != 0 || h.listing() != 0) return 1;
        if (h.download("f.txt", dir.file("f.back")) != 0) return 1;
        return read_all(dir.file("f.back")) == "for certified clients" ? 0 : 1;
    }

    int set_certificate(const std::string& file, const std::string& key_file, const std::string& password) {
        ClientCertificate certificate;
        certificate.certificate_file = file;
        certificate.key_file = key_file;
        certificate.password = password;
        return set_client_certificate(engines, certificate);
    }

    test::TempDir dir;
    test::Identity ca, client;
    EngineOwner engines{test::ftp_providers()};
    FtpServer server;
    std::vector<std::string> errors;  // the error lines of the last session
};

TEST_F(FtpsClientCertificate, PemAndPkcs12CertificatesOpenTheServerAcrossEngines) {
    EXPECT_EQ(session_works(), 1) << "no certificate: refused";
    ASSERT_FALSE(errors.empty());
    // OpenSSL's reason names what the server wanted.
    EXPECT_NE(errors.back().find("certificate"), std::string::npos) << errors.back();
    ASSERT_EQ(set_certificate(dir.file("client.PEM"), dir.file("client.key"), "key secret"), 0);
    EXPECT_EQ(session_works(), 0) << server.log();
    EXPECT_EQ(session_works(), 0) << "the next engine presents it too";
    engines.set_client_certificate(ClientCertificate{});
    EXPECT_EQ(session_works(), 1) << "a forgotten certificate is presented no more";
    ASSERT_EQ(set_certificate(dir.file("client.pfx"), "", "p12 secret"), 0);
    EXPECT_EQ(session_works(), 0) << server.log();
}

TEST_F(FtpsClientCertificate, AFileThatDoesNotLoadReturns1AndChangesNothing) {
    ASSERT_EQ(set_certificate(dir.file("client.pfx"), "", "p12 secret"), 0);
    EXPECT_EQ(set_certificate(dir.file("broken.pfx"), "", "p12 secret"), 1);
    EXPECT_EQ(set_certificate(dir.file("client.pfx"), "", "wrong password"), 1);
    EXPECT_EQ(set_certificate(dir.file("missing.pem"), "", ""), 1);
    EXPECT_EQ(session_works(), 0) << "the certificate set before still applies";
}

}  // namespace
}  // namespace orvane
