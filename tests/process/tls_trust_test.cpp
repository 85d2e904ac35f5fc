// Trust in TLS servers through the program, against vsftpd and aiosmtpd: keys learnt on first use
// and changed keys refused before the password goes, CA files, pins, strict and insecure modes,
// a client certificate from the command line, implicit FTPS and a server without TLS.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "tests/support/ftp_servers.h"
#include "tests/support/process.h"
#include "tests/support/smtp_server.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::client_binary;
using test::FtpServer;
using test::FtpServerKind;
using test::FtpServerOptions;
using test::read_all;
using test::run_process;
using test::TempDir;
using test::write_all;

bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

int openssl(const std::vector<std::string>& args) {
    return run_process("/usr/bin/openssl", args).exit_code;
}

// A CA, and certificates it signs for a subject alternative name.
struct TestCa {
    explicit TestCa(const TempDir& dir) : dir(dir) {
        ok = openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir.file("ca.key"), "-out",
                      dir.file("ca.pem"), "-days", "2", "-subj", "/CN=Orvane Test CA"}) == 0;
    }
    // NAME.pem and NAME.key, for `alt_name` ("IP:127.0.0.1", "DNS:other.example").
    bool issue(const std::string& name, const std::string& alt_name) const {
        write_all(dir.file(name + ".ext"), "subjectAltName=" + alt_name + "\n");
        return openssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", dir.file(name + ".key"), "-out",
                        dir.file(name + ".csr"), "-subj", "/CN=" + name}) == 0 &&
               openssl({"x509", "-req", "-in", dir.file(name + ".csr"), "-CA", dir.file("ca.pem"), "-CAkey",
                        dir.file("ca.key"), "-CAcreateserial", "-out", dir.file(name + ".pem"), "-days", "2",
                        "-extfile", dir.file(name + ".ext")}) == 0;
    }
    const TempDir& dir;
    bool ok = false;
};

class TlsTrust : public ::testing::Test {
  protected:
    void start(FtpServerOptions options) {
        options.tls = !options.implicit_tls;
        ASSERT_EQ(server.start(FtpServerKind::kVsftpd, options), 0) << server.error();
        write_all(server.local_home() + "/f.txt", "checked content");
    }
    // A command-file run against the server: login, one download, bye.
    test::ProcessResult run(std::vector<std::string> options, std::vector<std::string> env = {}) {
        write_all(dir.file("cmds.txt"),
                  server.user() + "\n" + server.password() + "\ncd /pub\nget f.txt\nbye\n");
        std::remove(dir.file("f.txt").c_str());
        if (options.empty() || options[0] != "-implicit") options.insert(options.begin(), "-ssl");
        options.push_back("-s:" + dir.file("cmds.txt"));
        options.push_back("127.0.0.1:" + std::to_string(server.port()));
        env.insert(env.begin(), "ORVANE_KNOWN_CERTS=" + known_certs());
        return run_process(client_binary(), options, {}, false, std::chrono::seconds(60), env, dir.path());
    }
    std::string known_certs() const { return dir.file("known_certs"); }
    bool downloaded() const { return read_all(dir.file("f.txt")) == "checked content"; }

    TempDir dir;
    FtpServer server;
};

TEST_F(TlsTrust, FirstUseIsRecordedAndAChangedKeyIsRefusedBeforeTheLogin) {
    start({});
    auto first = run({});
    ASSERT_EQ(first.exit_code, 0) << first.output;
    EXPECT_TRUE(downloaded());
    std::string recorded = read_all(known_certs());
    std::string name = "127.0.0.1:" + std::to_string(server.port());
    ASSERT_EQ(recorded.rfind(name + " sha256/", 0), 0u) << recorded;
    std::string key = recorded.substr(name.size() + 1, recorded.find(' ', name.size() + 1) - name.size() - 1);
    EXPECT_TRUE(contains(first.output, "was not a known TLS server; its certificate key " + key))
        << first.output;

    auto again = run({});
    EXPECT_EQ(again.exit_code, 0) << again.output;
    EXPECT_FALSE(contains(again.output, "was not a known TLS server")) << again.output;
    EXPECT_EQ(read_all(known_certs()), recorded);

    // Another key on the same port: refused with both keys and the line to edit, before USER.
    int port = server.port();
    server.stop();
    ASSERT_EQ(openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir.file("other.key"),
                       "-out", dir.file("other.pem"), "-days", "2", "-subj", "/CN=127.0.0.1"}),
              0);
    FtpServerOptions other;
    other.certificate_file = dir.file("other.pem");
    other.key_file = dir.file("other.key");
    other.port = port;
    start(other);
    auto changed = run({});
    EXPECT_EQ(changed.exit_code, 1) << changed.output;
    EXPECT_TRUE(contains(changed.output, "has changed: recorded " + key + ", presented sha256/"))
        << changed.output;
    EXPECT_TRUE(contains(changed.output, "remove line 1 of " + known_certs())) << changed.output;
    // USER waited for the handshake inside the channel: the server never answered it.
    EXPECT_FALSE(contains(changed.output, "331 ")) << changed.output;
    EXPECT_FALSE(contains(changed.output, "PASS ****")) << changed.output;
    EXPECT_FALSE(downloaded());
    EXPECT_EQ(read_all(known_certs()), recorded);
    // Naming the server's own certificate trusts it as it stands.
    auto named = run({"-cacert", dir.file("other.pem")});
    EXPECT_EQ(named.exit_code, 0) << named.output;

    // -insecure goes on, and says so; a wrong pin is refused.
    auto insecure = run({"-insecure"});
    EXPECT_EQ(insecure.exit_code, 0) << insecure.output;
    EXPECT_TRUE(contains(insecure.output, "is not checked (-insecure)")) << insecure.output;
    auto pinned = run({"-pin", key});
    EXPECT_EQ(pinned.exit_code, 1) << pinned.output;
    EXPECT_TRUE(contains(pinned.output, ", not the pinned " + key)) << pinned.output;
    EXPECT_FALSE(contains(pinned.output, "PASS ****")) << pinned.output;
}

TEST_F(TlsTrust, NoPlaceToRecordRefusesInsteadOfForgetting) {
    start({});
    auto r = run({}, {"ORVANE_KNOWN_CERTS=", "XDG_CONFIG_HOME=", "HOME="});
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "no place to record known TLS servers")) << r.output;
    EXPECT_FALSE(contains(r.output, "PASS ****")) << r.output;
}

TEST_F(TlsTrust, CaFileStrictModeAndNames) {
    TestCa ca(dir);
    ASSERT_TRUE(ca.ok);
    ASSERT_TRUE(ca.issue("server", "IP:127.0.0.1"));
    ASSERT_TRUE(ca.issue("elsewhere", "DNS:other.example"));
    FtpServerOptions options;
    options.certificate_file = dir.file("server.pem");
    options.key_file = dir.file("server.key");
    start(options);
    auto trusted = run({"-cacert", dir.file("ca.pem")});
    EXPECT_EQ(trusted.exit_code, 0) << trusted.output;
    EXPECT_TRUE(downloaded());
    EXPECT_FALSE(std::filesystem::exists(known_certs())) << "nothing learnt with a CA file";
    // Not in the system's store: strict mode refuses it.
    auto strict = run({"-tlsstrict"});
    EXPECT_EQ(strict.exit_code, 1) << strict.output;
    EXPECT_TRUE(contains(strict.output, "is not trusted: ")) << strict.output;

    int port = server.port();
    server.stop();
    options.certificate_file = dir.file("elsewhere.pem");
    options.key_file = dir.file("elsewhere.key");
    options.port = port;
    start(options);
    auto misnamed = run({"-tlsstrict", "-cacert", dir.file("ca.pem")});
    EXPECT_EQ(misnamed.exit_code, 1) << misnamed.output;
    EXPECT_TRUE(contains(misnamed.output, "IP address mismatch")) << misnamed.output;
    EXPECT_FALSE(contains(misnamed.output, "PASS ****")) << misnamed.output;
}

TEST_F(TlsTrust, ClientCertificateFromTheCommandLine) {
    TestCa ca(dir);
    ASSERT_TRUE(ca.ok);
    ASSERT_TRUE(ca.issue("client", "DNS:client.example"));
    // An encrypted copy of the key, unlocked by the password from the environment.
    ASSERT_EQ(openssl({"pkey", "-in", dir.file("client.key"), "-out", dir.file("locked.key"), "-aes256",
                       "-passout", "pass:cert s3cret"}),
              0);
    FtpServerOptions options;
    options.client_ca_file = dir.file("ca.pem");
    start(options);
    auto without = run({});
    EXPECT_EQ(without.exit_code, 1) << without.output;
    auto with = run({"-cert", dir.file("client.pem"), "-key", dir.file("locked.key"), "-certpass"},
                    {"ORVANE_CERT_PASS=cert s3cret"});
    EXPECT_EQ(with.exit_code, 0) << with.output;
    EXPECT_TRUE(downloaded());
    EXPECT_FALSE(contains(with.output, "cert s3cret")) << with.output;
    // Typed at the terminal, with echo off.
    write_all(dir.file("login.txt"), server.user() + "\n" + server.password() + "\ncd /pub\nbye\n");
    auto typed = test::run_dialogue(
        client_binary(),
        {"-ssl", "-cert", dir.file("client.pem"), "-key", dir.file("locked.key"), "-certpass",
         "-s:" + dir.file("login.txt"), "127.0.0.1:" + std::to_string(server.port())},
        {{"Certificate password: ", "cert s3cret\n"}});
    EXPECT_EQ(typed.exit_code, 0) << typed.output;
    EXPECT_TRUE(contains(typed.output, "250 ")) << typed.output;
    EXPECT_FALSE(contains(typed.output, "cert s3cret")) << typed.output;
    auto wrong =
        run({"-cert", dir.file("client.pem"), "-key", dir.file("locked.key")}, {"ORVANE_CERT_PASS=wrong"});
    EXPECT_EQ(wrong.exit_code, 1) << wrong.output;
    EXPECT_TRUE(contains(wrong.output, "Could not load the client certificate")) << wrong.output;
}

TEST_F(TlsTrust, ImplicitFtpsStartsTlsAtOnce) {
    FtpServerOptions options;
    options.implicit_tls = true;
    start(options);
    // A reply timeout shorter than the wait for a plain greeting: only a client that starts TLS at
    // once gets in.
    auto implicit = run({"-implicit", "-timeout", "3"});
    EXPECT_EQ(implicit.exit_code, 0) << implicit.output;
    EXPECT_TRUE(downloaded());
}

TEST(TlsRefusals, ServerWithoutTlsSaysSo) {
    TempDir dir;
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kVsftpd), 0) << server.error();
    write_all(dir.file("cmds.txt"), server.user() + "\n" + server.password() + "\nbye\n");
    auto r = run_process(client_binary(), {"-ssl", "-s:" + dir.file("cmds.txt"),
                                           "127.0.0.1:" + std::to_string(server.port())});
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(
        contains(r.output, "The server does not offer TLS (AUTH TLS, TLS-C, TLS-P and SSL were refused)"))
        << r.output;
    EXPECT_FALSE(contains(r.output, "PASS ****")) << r.output;
}

TEST(TlsRefusals, MailStartTlsFollowsTheSameRules) {
    TempDir dir;
    test::SmtpServer server;
    test::SmtpServerOptions options;
    options.user = "robot";
    options.password = "mail-s3cret";
    options.starttls = true;
    ASSERT_EQ(server.start(options), 0) << server.error();
    write_all(dir.file("job.fscr"),
              "mailcreate(\"Robot\", \"robot@example.org\", \"Nightly\", \"All sent.\");\n"
              "mailsend(\"127.0.0.1\", " +
                  std::to_string(server.port()) +
                  ", \"Ops\", \"ops@example.org\", \"robot\", \"mail-s3cret\");\n");
    std::vector<std::string> env = {"ORVANE_KNOWN_CERTS=" + dir.file("known_certs")};
    auto wrong_pin = run_process(
        client_binary(),
        {"-pin", "sha256/AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", "-script", dir.file("job.fscr")}, {},
        false, std::chrono::seconds(60), env, dir.path());
    EXPECT_EQ(wrong_pin.exit_code, 1) << wrong_pin.output;
    EXPECT_TRUE(contains(wrong_pin.output, "not the pinned sha256/AAAA")) << wrong_pin.output;
    EXPECT_TRUE(server.auth_records().empty()) << "the mail password never went";

    auto first = run_process(client_binary(), {"-script", dir.file("job.fscr")}, {}, false,
                             std::chrono::seconds(60), env, dir.path());
    EXPECT_EQ(first.exit_code, 0) << first.output;
    EXPECT_TRUE(contains(first.output, "was not a known TLS server")) << first.output;
    std::string name = "127.0.0.1:" + std::to_string(server.port()) + " sha256/";
    EXPECT_EQ(read_all(dir.file("known_certs")).rfind(name, 0), 0u);
    EXPECT_NE(server.message(1).find("Subject: Nightly"), std::string::npos);
}

}  // namespace
}  // namespace orvane
