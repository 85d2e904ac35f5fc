// The FTP test servers: real vsftpd and pyftpdlib (plain and TLS) and the scripted server answer a client.
#include "tests/support/ftp_servers.h"
#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "client/transfer/text/ftp_text.h"
#include "client/transfer/text/listing_parser.h"
#include "client/transfer/text/reply_reader.h"
#include "platform/file.h"
#include "tests/support/process.h"

namespace orvane {
namespace {

using test::FtpServer;
using test::FtpServerKind;
using test::FtpServerOptions;
using test::ScriptedFtpServer;

using test::connect_loopback;

// Reads until the peer closes (or 10 s pass without bytes).
std::string read_to_close(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return out;
}

// A blocking plain-text FTP client over the reply reader, enough to drive a test server.
class PlainClient {
  public:
    explicit PlainClient(int port) : fd_(connect_loopback(port)) {}
    ~PlainClient() {
        if (fd_ >= 0) close(fd_);
    }
    bool connected() const { return fd_ >= 0; }

    ServerReply reply() {
        ServerReply r;
        char buf[4096];
        while (reader_.take(r) == 0) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) return {};
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0 || reader_.feed(std::string_view(buf, static_cast<size_t>(n))) != 0) return {};
        }
        return r;
    }
    ServerReply command(const std::string& line) {
        std::string wire = line + "\r\n";
        if (send(fd_, wire.data(), wire.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(wire.size())) return {};
        return reply();
    }
    int login(const std::string& user, const std::string& password) {
        ServerReply r = command("USER " + user);
        if (r.code == 331) r = command("PASS " + password);
        return r.code;
    }
    // LIST over a passive data connection; the listing bytes, and the final reply code in `code`.
    std::string passive_list(const std::string& verb, int& code) {
        code = 0;
        PassiveAddress pasv;
        ServerReply r = command("PASV");
        if (r.code != 227 || parse_pasv_reply(r.lines.back(), pasv) != 0 || pasv.host != "127.0.0.1")
            return {};
        int data = connect_loopback(pasv.port);
        if (data < 0) return {};
        if (command(verb).code / 100 != 1) {  // 150, or 125 when the connection is already open
            close(data);
            return {};
        }
        std::string listing = read_to_close(data);
        code = reply().code;
        return listing;
    }
    // LIST over an active data connection opened with PORT.
    std::string active_list(int& code) {
        code = 0;
        test::Listener listener;
        std::string port_command;
        std::string listing;
        if (build_port_command("127.0.0.1", listener.port(), port_command) == 0 &&
            command(port_command).code == 200 && command("LIST").code / 100 == 1) {
            int data = listener.accept(10000);
            if (data >= 0) listing = read_to_close(data);
            code = reply().code;
        }
        return listing;
    }

  private:
    int fd_;
    ReplyReader reader_;
};

const RemoteFileEntry* find(const std::vector<RemoteFileEntry>& entries, const std::string& name) {
    for (const auto& e : entries)
        if (e.name == name) return &e;
    return nullptr;
}

// Login, FEAT, CWD, MDTM, and passive (and for vsftpd active) listings parsed by the listing parser.
void check_plain_session(FtpServer& server, bool active) {
    std::string local = server.local_home() + "/hello world.txt";
    test::write_all(local, std::string(1234, 'h'));
    uint64_t when = platform::filetime_from_unix(1700000000);  // 2023-11-14 22:13:20 UTC
    platform::FileHandle h = platform::file_open(local, platform::kOpenAppend);
    platform::file_set_last_write_time(h, when);
    platform::file_close(h);

    PlainClient c(server.port());
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.reply().code, 220);
    ASSERT_EQ(c.login(server.user(), server.password()), 230);
    ServerReply feat = c.command("FEAT");
    EXPECT_EQ(feat.code, 211);
    EXPECT_GT(feat.lines.size(), 2u);  // a multi-line reply
    EXPECT_EQ(c.command("CWD " + server.remote_home()).code, 250);
    ServerReply mdtm = c.command("MDTM hello world.txt");
    uint64_t got = 0;
    EXPECT_EQ(parse_mdtm_time(mdtm.lines.empty() ? "" : mdtm.lines.back(), got), 0);
    EXPECT_EQ(got, when);

    int code = 0;
    std::string listing = c.passive_list("LIST", code);
    EXPECT_EQ(code, 226) << listing;
    std::vector<RemoteFileEntry> entries;
    parse_list(listing, listing_clock_now(), entries);
    const RemoteFileEntry* e = find(entries, "hello world.txt");
    ASSERT_NE(e, nullptr) << listing;
    EXPECT_EQ(e->size, 1234u);
    EXPECT_EQ(e->time_text.substr(0, 8), "20231114");

    if (active) {
        listing = c.active_list(code);
        EXPECT_EQ(code, 226);
        entries.clear();
        parse_list(listing, listing_clock_now(), entries);
        EXPECT_NE(find(entries, "hello world.txt"), nullptr) << listing;
    }
    EXPECT_EQ(c.command("QUIT").code, 221);
}

test::ProcessResult curl(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"-s", "-S", "--max-time", "20"};
    all.insert(all.end(), args.begin(), args.end());
    return test::run_process("/usr/bin/curl", all);
}

TEST(FtpServers, VsftpdPlain) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kVsftpd), 0) << server.error();
    check_plain_session(server, true);
    // Uploads land in the writable folder; active mode works for curl too.
    test::TempDir dir;
    test::write_all(dir.file("up.bin"), "uploaded");
    EXPECT_EQ(curl({"-T", dir.file("up.bin"), server.url("/pub/up.bin")}).exit_code, 0);
    EXPECT_EQ(test::read_all(server.local_home() + "/up.bin"), "uploaded");
    test::ProcessResult list = curl({"-P", "127.0.0.1", server.url("/pub/")});
    EXPECT_EQ(list.exit_code, 0) << list.output;
    EXPECT_NE(list.output.find("up.bin"), std::string::npos);
}

FtpServerOptions no_password_options() {
    FtpServerOptions o;
    o.password_required = false;
    return o;
}
FtpServerOptions tls_options(bool implicit, bool tolerate_early_data_handshake) {
    FtpServerOptions o;
    o.tls = true;
    o.implicit_tls = implicit;
    o.tolerate_early_data_handshake = tolerate_early_data_handshake;
    return o;
}

TEST(FtpServers, VsftpdWithoutPassword) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kVsftpd, no_password_options()), 0) << server.error();
    PlainClient c(server.port());
    EXPECT_EQ(c.reply().code, 220);
    EXPECT_EQ(c.command("USER anonymous").code, 230);
}

TEST(FtpServers, PyftpdlibPlain) {
    FtpServer server;
    ASSERT_EQ(server.start(FtpServerKind::kPyftpdlib), 0) << server.error();
    check_plain_session(server, true);
    test::TempDir dir;
    test::write_all(dir.file("up.bin"), "uploaded");
    EXPECT_EQ(curl({"-T", dir.file("up.bin"), server.url("/pub/up.bin")}).exit_code, 0);
    EXPECT_EQ(test::read_all(server.local_home() + "/up.bin"), "uploaded");
}

TEST(FtpServers, TlsServersAnswerCurl) {
    struct Case {
        FtpServerKind kind;
        FtpServerOptions options;
    } cases[] = {{FtpServerKind::kVsftpd, tls_options(false, false)},
                 {FtpServerKind::kVsftpd, tls_options(true, false)},
                 // curl starts the data handshake before pyftpdlib has seen the command.
                 {FtpServerKind::kPyftpdlib, tls_options(false, true)}};
    test::TempDir dir;
    test::write_all(dir.file("up.bin"), "secret bytes");
    for (const auto& c : cases) {
        FtpServer server;
        ASSERT_EQ(server.start(c.kind, c.options), 0) << server.error();
        SCOPED_TRACE(server.url());
        test::ProcessResult up =
            curl({"--ssl-reqd", "-k", "-T", dir.file("up.bin"), server.url("/pub/up.bin")});
        EXPECT_EQ(up.exit_code, 0) << up.output << server.log();
        EXPECT_EQ(test::read_all(server.local_home() + "/up.bin"), "secret bytes");
        test::ProcessResult list = curl({"--ssl-reqd", "-k", server.url("/pub/")});
        EXPECT_EQ(list.exit_code, 0) << list.output;
        EXPECT_NE(list.output.find("up.bin"), std::string::npos);
        if (!c.options.implicit_tls) {
            // Without TLS the login is refused.
            PlainClient plain(server.port());
            EXPECT_EQ(plain.reply().code, 220);
            int code = plain.login(server.user(), server.password());
            EXPECT_TRUE(code == 0 || code >= 500) << code;
        }
    }
}

TEST(FtpServers, ScriptedServerServesOddReplies) {
    ScriptedFtpServer server;
    ASSERT_EQ(server.start("> 220-Welcome\n"
                           "> 220-to the\n"
                           "> 220 scripted server\n"
                           "< AUTH TLS\n"
                           "> 500 AUTH not understood\n"
                           "< USER *\n"
                           "= 331 Pass\n"
                           "pause 50\n"
                           "= word please\\r\\n\n"
                           "< PASS secret\n"
                           "> 230 Logged in\n"
                           "< REST 100\n"
                           "> 502 REST not implemented\n"
                           "< PASV\n"
                           "> 227 Entering Passive Mode 127, 0, 0, 1, {DATA}\n"
                           "< LIST\n"
                           "> 150 Here it comes\n"
                           "data-send -rw-r--r-- 1 u g 7 Jan 1 2020 one file\\r\\n\n"
                           "> 226 Done\n"),
              0);
    PlainClient c(server.port());
    ServerReply greeting = c.reply();
    EXPECT_EQ(greeting.code, 220);
    EXPECT_EQ(greeting.lines.size(), 3u);
    EXPECT_EQ(c.command("AUTH TLS").code, 500);
    ServerReply user = c.command("USER me");
    EXPECT_EQ(user.code, 331);
    EXPECT_EQ(user.lines[0], "331 Password please");
    EXPECT_EQ(c.command("PASS secret").code, 230);
    EXPECT_EQ(c.command("REST 100").code, 502);
    int code = 0;
    std::string listing = c.passive_list("LIST", code);
    EXPECT_EQ(code, 226);
    std::vector<RemoteFileEntry> entries;
    parse_list(listing, listing_clock_now(), entries);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "one file");
    EXPECT_EQ(server.wait(), 0) << server.failure();
    EXPECT_EQ(server.commands(),
              (std::vector<std::string>{"AUTH TLS", "USER me", "PASS secret", "REST 100", "PASV", "LIST"}));
}

TEST(FtpServers, ScriptedServerReportsAnUnexpectedCommand) {
    ScriptedFtpServer server;
    ASSERT_EQ(server.start("> 220 hi\n< USER a\n> 331 pass\n"), 0);
    PlainClient c(server.port());
    EXPECT_EQ(c.reply().code, 220);
    c.command("USER b");  // the server closes instead of answering
    EXPECT_EQ(server.wait(), 1);
    EXPECT_EQ(server.failure(), "expected \"USER a\", got \"USER b\"");
}

}  // namespace
}  // namespace orvane
