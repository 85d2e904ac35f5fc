// Deliveries end to end: aiosmtpd with and without AUTH, over STARTTLS and implicit TLS, checked
// byte for byte; a scripted server for what aiosmtpd will not do (EHLO refused, silence, a failing
// or tampered TLS upgrade).
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <regex>

#include "client/actions/mail/mailer.h"
#include "client/transfer/tls/tls_context.h"
#include "tests/support/any_certificate.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/loopback.h"
#include "tests/support/smtp_server.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::ScriptedFtpServer;
using test::SmtpServer;
using test::SmtpServerOptions;

// A script thread in miniature: the mail record, its output, and the "mail-ready" event.
class Requester {
  public:
    explicit Requester(int timeout_seconds = 30) {
        record_ = create_mail_record(engines_, &Requester::log, this, Notifier{&Requester::wake, this},
                                     timeout_seconds);
    }
    MailRecord& record() { return *record_; }

    // Sends the current message and waits for the done callback; its result.
    int send(const MailServer& server) {
        done_ = false;
        int r = mail_send(*record_, server, MailDone{&Requester::on_done, this});
        if (r != 0) return 100 + r;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done_ && std::chrono::steady_clock::now() < deadline) {
            {
                std::unique_lock<std::mutex> hold(lock_);
                ready_.wait_for(hold, std::chrono::milliseconds(200), [this] { return woken_; });
                woken_ = false;
            }
            pump_mail_completions(engines_);
        }
        return done_ ? result_ : -1;
    }

    std::string output() {
        std::lock_guard<std::mutex> hold(lock_);
        return output_;
    }

  private:
    static void log(void* user, const char* text, int level, int) {
        auto* self = static_cast<Requester*>(user);
        std::lock_guard<std::mutex> hold(self->lock_);
        self->output_ += std::to_string(level) + " " + text + "\n";
    }
    static void wake(void* context) {
        auto* self = static_cast<Requester*>(context);
        std::lock_guard<std::mutex> hold(self->lock_);
        self->woken_ = true;
        self->ready_.notify_all();
    }
    static void on_done(void* context, int result) {
        auto* self = static_cast<Requester*>(context);
        self->result_ = result;
        self->done_ = true;
    }

    std::mutex lock_;
    std::condition_variable ready_;
    bool woken_ = false;
    std::string output_;
    bool done_ = false;
    int result_ = -1;
    EngineOwner engines_{
        FilterProviders{.tls = openssl_tls_provider(), .ssh = {}, .certificates = test::any_certificate()}};
    MailRecordPtr record_;
};

MailServer to_server(int port, const std::string& user = {}, const std::string& password = {}) {
    MailServer s;
    s.host = "127.0.0.1";
    s.port = static_cast<uint32_t>(port);
    s.to_name = "Ops Team";
    s.to_address = "ops@example.org";
    s.user = user;
    s.password = password;
    return s;
}

// The designed text of the report message, with the Date and Message-ID as patterns.
std::string report_pattern(const char* zone_sign) {
    return std::string(
               "From: Orvane Robot <robot@example\\.org>\r\n"
               "To: Ops Team <ops@example\\.org>\r\n"
               "Subject: Nightly report\r\n"
               "Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d ") +
           zone_sign +
           "\r\n"
           "Message-ID: <[0-9a-f]{40}@127\\.0\\.0\\.1>\r\n"
           "\r\n"
           "first line\r\n"
           "\\.starts with a dot\r\n"
           "last line\r\n"
           "\r\n";
}

void create_report(MailRecord& r) {
    ASSERT_EQ(mail_create(r, "Orvane Robot", "robot@example.org", "Nightly report",
                          "first line\r\n.starts with a dot\r\n\r\nlast line"),
              0);
}

struct ZoneGuard {
    explicit ZoneGuard(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard() {
        unsetenv("TZ");
        tzset();
    }
};

TEST(MailDelivery, RealServerReceivesTheDesignedMessage) {
    struct Case {
        const char* title;
        SmtpServerOptions options;
        std::string user, password;  // given to mailsend
        const char* mechanism;       // expected AUTH, or null for none
        bool tls;
        const char* zone;
        const char* zone_sign;
    };
    const Case cases[] = {
        {"no AUTH offered", {"", "", "", false, false, false}, "", "", nullptr, false, "UTC-1", "\\+0100"},
        {"AUTH LOGIN chosen",
         {"mailer", "s3cret!", "", false, false, false},
         "mailer",
         "s3cret!",
         "LOGIN",
         false,
         "EST5",
         "-0500"},
        {"AUTH PLAIN",
         {"mailer", "s3cret!", "LOGIN", false, false, false},
         "mailer",
         "s3cret!",
         "PLAIN",
         false,
         "UTC0",
         "-0000"},
        {"four parameters: no AUTH",
         {"mailer", "s3cret!", "", false, false, false},
         "",
         "",
         nullptr,
         false,
         "UTC-1",
         "\\+0100"},
        // A password long enough not to turn up by chance in the output's random names.
        {"STARTTLS before AUTH",
         {"mailer", "pw-7Qx!", "", true, true, false},
         "mailer",
         "pw-7Qx!",
         "LOGIN",
         true,
         "EST5",
         "-0500"},
        {"implicit TLS", {"", "", "", false, false, true}, "", "", nullptr, true, "UTC-1", "\\+0100"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        SmtpServer server;
        ASSERT_EQ(server.start(c.options), 0) << server.error();
        ZoneGuard zone(c.zone);
        Requester req;
        create_report(req.record());
        MailServer target = to_server(server.port(), c.user, c.password);
        target.implicit_tls = c.options.implicit_tls;
        ASSERT_EQ(req.send(target), 0) << req.output() << server.log();
        EXPECT_FALSE(mail_failure(req.record())) << mail_failure(req.record()).cause;

        EXPECT_TRUE(std::regex_match(server.message(1), std::regex(report_pattern(c.zone_sign))))
            << server.message(1);
        std::string envelope = server.envelope(1);
        EXPECT_NE(envelope.find("\"mail_from\": \"robot@example.org\", \"rcpt_tos\": [\"ops@example.org\"]"),
                  std::string::npos)
            << envelope;
        EXPECT_NE(envelope.find(c.tls ? "\"tls\": true" : "\"tls\": false"), std::string::npos) << envelope;
        std::vector<std::string> auth = server.auth_records();
        if (c.mechanism) {
            ASSERT_EQ(auth.size(), 1u);
            EXPECT_NE(auth[0].find(std::string("\"mechanism\": \"") + c.mechanism + "\""), std::string::npos);
            EXPECT_NE(auth[0].find("\"login\": \"" + c.user + "\", \"password\": \"" + c.password + "\""),
                      std::string::npos)
                << auth[0];
            EXPECT_NE(auth[0].find(c.tls ? "\"tls\": true" : "\"tls\": false"), std::string::npos);
        } else {
            EXPECT_TRUE(auth.empty());
        }
        std::string out = req.output();
        EXPECT_NE(out.find("101 Successfully created new email message."), std::string::npos);
        EXPECT_EQ(out.find(c.password.empty() ? "\x01" : c.password), std::string::npos) << "password logged";
        EXPECT_EQ(out.find("103 "), std::string::npos) << out;
        // Every reply line reaches the output as information; a login in clear is warned about.
        EXPECT_NE(out.find("101 250 OK"), std::string::npos) << out;
        bool warned = out.find("102 The mail server offers no TLS") != std::string::npos;
        EXPECT_EQ(warned, c.mechanism != nullptr && !c.tls);
        EXPECT_EQ(out.find("101 TLS connection established: TLSv1.3") != std::string::npos, c.tls) << out;
    }
}

TEST(MailDelivery, AttachmentsAndUtf8ArriveIntact) {
    test::TempDir dir;
    // Megabytes: a message this large leaves the connection in several pieces.
    std::string binary = test::random_bytes(2500000, 7);
    test::write_all(dir.file("data.bin"), binary);
    test::write_all(dir.file("r\xc3\xa9sum\xc3\xa9.csv"), "a,b\r\n1,2\r\n");
    SmtpServer server;
    ASSERT_EQ(server.start(), 0) << server.error();
    Requester req;
    ASSERT_EQ(
        mail_create(req.record(), "J\xc3\xbcrgen", "j@example.org",
                    "Gr\xc3\xbc\xc3\x9f"
                    "e aus K\xc3\xb6ln",
                    "Anbei die Dateien f\xc3\xbcr K\xc3\xb6ln.\n.und ein Punkt\n" + std::string(1500, 'L')),
        0);
    ASSERT_EQ(mail_attach(req.record(), dir.file("data.bin")), 0);
    ASSERT_EQ(mail_attach(req.record(), dir.file("r\xc3\xa9sum\xc3\xa9.csv")), 0);
    EXPECT_EQ(mail_attach(req.record(), dir.file("missing.txt")), 1);
    ASSERT_EQ(req.send(to_server(server.port())), 0) << req.output();

    EXPECT_EQ(server.attachment(1, "data.bin"), binary);
    EXPECT_EQ(server.attachment(1, "r\xc3\xa9sum\xc3\xa9.csv"), "a,b\r\n1,2\r\n");
    std::string envelope = server.envelope(1);
    EXPECT_NE(envelope.find("\"subject\": \"Gr\xc3\xbc\xc3\x9f"
                            "e aus K\xc3\xb6ln\""),
              std::string::npos)
        << envelope;
    EXPECT_NE(envelope.find("\"mail_options\": [\"BODY=8BITMIME\"]"), std::string::npos) << envelope;
    std::string message = server.message(1);
    EXPECT_NE(message.find("\r\n.und ein Punkt\r\n"), std::string::npos);  // unstuffed by the server
    // A line longer than SMTP allows arrives as two lines.
    EXPECT_NE(message.find("\r\n" + std::string(998, 'L') + "\r\n" + std::string(502, 'L') + "\r\n"),
              std::string::npos);
    EXPECT_NE(req.output().find("103 ERROR: Could not attach file " + dir.file("missing.txt")),
              std::string::npos);

    // mailcreate starts afresh: no attachments, a plain message again.
    create_report(req.record());
    ASSERT_EQ(req.send(to_server(server.port())), 0) << req.output();
    EXPECT_TRUE(std::regex_match(server.message(2), std::regex(report_pattern("[-+]\\d{4}"))));
}

TEST(MailDelivery, RefusedLoginFails) {
    SmtpServer server;
    ASSERT_EQ(server.start({"mailer", "right", "", true, false, false}), 0) << server.error();
    Requester req;
    create_report(req.record());
    EXPECT_EQ(req.send(to_server(server.port(), "mailer", "wrong")), 1);
    EXPECT_EQ(mail_failure(req.record()).kind, FailureKind::kRemote);
    EXPECT_NE(req.output().find("103 ERROR: The mail server refused the login"), std::string::npos)
        << req.output();
    EXPECT_EQ(server.message(1), "");
    ASSERT_EQ(server.auth_records().size(), 1u);
    EXPECT_NE(server.auth_records()[0].find("\"tls\": true"), std::string::npos);
}

TEST(MailDelivery, LineBreaksNeverBecomeHeadersOrCommands) {
    Requester req;
    EXPECT_EQ(mail_create(req.record(), "Robot", "robot@example.org", "Hi\r\nBcc: victim@example.org", "b"),
              1);
    create_report(req.record());
    MailServer target = to_server(test::unused_port());
    target.to_address = "ops@example.org>\r\nRCPT TO:<victim@example.org";
    EXPECT_EQ(req.send(target), 102);
    EXPECT_FALSE(mail_busy(req.record()));
    std::string out = req.output();
    EXPECT_NE(out.find("103 ERROR: The mail's subject holds a line break"), std::string::npos) << out;
    EXPECT_NE(out.find("103 ERROR: The mail's recipient holds a line break"), std::string::npos) << out;
    target.to_address = "ops@example.org, x@example.org> NOTIFY=NEVER ORCPT=rfc822;x@example.org";
    EXPECT_EQ(req.send(target), 102);
    EXPECT_NE(
        req.output().find("holds a blank, \"<\", \">\" or a control character; the message was not sent"),
        std::string::npos)
        << req.output();
}

TEST(MailDelivery, ScriptedServers) {
    const std::string greet = "> 220 scripted ESMTP\n< EHLO 127.0.0.1\n";
    struct Case {
        const char* title;
        std::string script;
        int timeout_seconds;
        int result;
        FailureKind failure;
        const char* message;  // expected in the output
    };
    const Case cases[] = {
        {"EHLO refused: HELO and no AUTH",
         greet + "> 502 5.5.1 command not implemented\n< HELO 127.0.0.1\n> 250 hello\n"
                 "< MAIL FROM:<robot@example.org>\n> 250 ok\n< RCPT TO:<ops@example.org>\n> 250 ok\n"
                 "< DATA\n> 354 go ahead\n< From: *\n< To: *\n< Subject: *\n< Date: *\n< Message-ID: *\n<"
                 " \n< first line\n< ..starts with a dot\n< last line\n< \n< .\n> 250 queued\n< QUIT\n> 221 "
                 "bye\n",
         30, 0, FailureKind::kNone, "101 250 queued"},
        {"a server that stops answering", greet + "wait-bytes\n", 1, 1, FailureKind::kTimeout,
         "103 ERROR: No answer from the mail server within the reply timeout (1 s)"},
        {"a greeting that trickles in", "trickle 200 220-a\\r\\n220-b\\r\\n220-c\\r\\n220 scripted\\r\\n\n",
         1, 1, FailureKind::kTimeout,
         "103 ERROR: No answer from the mail server within the reply timeout (1 s)"},
        {"STARTTLS accepted, then no TLS",
         greet + "> 250-scripted\n> 250 STARTTLS\n< STARTTLS\n> 220 ready\nwait-bytes\n= this is no TLS "
                 "record\\r\\n\n",
         30, 1, FailureKind::kProtocol, "103 ERROR: The TLS handshake with the mail server failed ("},
        {"plain text slipped in behind the STARTTLS go-ahead",
         greet + "> 250-scripted\n> 250-AUTH LOGIN\n> 250 STARTTLS\n< STARTTLS\n= 220 ready\\r\\n250 "
                 "injected\\r\\n\n"
                 "wait-bytes\n",
         30, 1, FailureKind::kProtocol, "103 ERROR: The mail server sent more after accepting STARTTLS"},
        {"DATA refused: closed without QUIT",
         greet + "> 250 scripted\n< MAIL FROM:<robot@example.org>\n> 250 ok\n< RCPT TO:<ops@example.org>\n"
                 "> 550 no such user\nwait-bytes\n",
         30, 1, FailureKind::kRemote, "103 ERROR: The mail server refused the recipient"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        ScriptedFtpServer server;
        ASSERT_EQ(server.start(c.script), 0);
        Requester req(c.timeout_seconds);
        create_report(req.record());
        EXPECT_EQ(req.send(to_server(server.port(), "mailer", "pw")), c.result) << req.output();
        EXPECT_EQ(server.wait(), 0) << server.failure();
        EXPECT_EQ(mail_failure(req.record()).kind, c.failure) << mail_failure(req.record()).cause;
        EXPECT_NE(req.output().find(c.message), std::string::npos) << req.output();
        for (const std::string& command : server.commands()) {
            EXPECT_NE(command.rfind("AUTH", 0), 0u) << command;  // never a login here
            if (c.result != 0) {
                EXPECT_NE(command, "QUIT") << "QUIT after a failure";
            }
        }
    }
}

TEST(MailDelivery, RefusedConnectionFails) {
    Requester req;
    create_report(req.record());
    EXPECT_EQ(req.send(to_server(test::unused_port())), 1);
    EXPECT_EQ(mail_failure(req.record()).kind, FailureKind::kLocal);
    EXPECT_NE(req.output().find("103 ERROR: Could not"), std::string::npos) << req.output();
    MailServer nowhere = to_server(25);
    nowhere.host = "host.invalid";
    EXPECT_EQ(req.send(nowhere), 1);
    EXPECT_EQ(mail_failure(req.record()).kind, FailureKind::kLocal);
    EXPECT_NE(req.output().find("103 ERROR: Could not resolve mail server address"), std::string::npos);
}

}  // namespace
}  // namespace orvane
