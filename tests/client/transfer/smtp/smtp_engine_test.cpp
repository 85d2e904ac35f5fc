// SMTP conversations in memory: the engine is fed a server's bytes and checked for the exact bytes it
// sends back, the outcome of each phase and the kind of a failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "client/actions/mail/mail_format.h"
#include "client/transfer/smtp/smtp_client.h"
#include "common/base64.h"

namespace orvane {
namespace {

// One move of a transcript. S: the server sends; C: the client has sent exactly this; P: a phase
// starts with the named command ("greeting" connects first); M: the client has sent the message,
// ending so; L: the engine asks for TLS and gets
// it; X: the server closes; T: the reply timeout passes; F: the phase ends ("0", "1", "0 close"...).
struct Move {
    char kind;
    std::string text;
};

struct Case {
    const char* title;
    std::string user, password, to_address;
    std::vector<Move> moves;
    FailureKind failure = FailureKind::kNone;  // of the last phase
    const char* logged = nullptr;              // a line the log must hold
    const char* local = "127.0.0.1";           // the connection's own address
};

void capture(void* user, const char* text, int level, int) {
    *static_cast<std::string*>(user) += std::to_string(level) + " " + text + "\n";
}

SmtpCommand command_named(const std::string& name) {
    for (int i = 0; i < kSmtpCommandCount; ++i)
        if (name == smtp_command_row(static_cast<SmtpCommand>(i)).name) return static_cast<SmtpCommand>(i);
    return SmtpCommand::kNone;
}

std::string finish_text(const LineNext& n) {
    if (n.kind != LineNext::kFinish) return n.kind == LineNext::kWait ? "wait" : "starttls";
    return std::to_string(n.result) + (n.close ? " close" : "");
}

// Plays the transcript; the log is returned, the delivery is left for checks.
std::string play(const Case& c, SmtpDelivery& d, int& secrets_gone) {
    std::string log;
    d.log = capture;
    d.log_user = &log;
    d.host = "mail.example.org";
    d.user = c.user;
    d.password = c.password;
    d.from_address = "robot@example.org";
    d.recipients = {c.to_address.empty() ? "ops@example.org" : c.to_address};
    d.timeout_seconds = 7;
    d.trace = true;
    MailMessage m;
    std::string error;
    EXPECT_EQ(fill_message(m, "Robot", "robot@example.org", "Hi", "one\r\n.dot\r\n..two", error), 0);
    d.message_text =
        build_message_text(m, MailEnvelope{"Ops", "ops@example.org", "DATE", "ID", "127.0.0.1", {}});
    SmtpEngine e(d);
    LineNext last;
    size_t step = 0;
    for (const Move& move : c.moves) {
        SCOPED_TRACE("move " + std::to_string(step++) + " " + move.kind + " " + move.text);
        switch (move.kind) {
            case 'P': {
                SmtpCommand first = command_named(move.text);
                e.start(first);
                if (first == SmtpCommand::kGreeting) {
                    e.connected(c.local, 40000);
                } else {
                    e.started(true);
                }
                break;
            }
            case 'S':
                // Byte by byte: a reply must never depend on how the network cuts it.
                for (char ch : move.text) e.receive(std::string_view(&ch, 1));
                break;
            case 'C':
                EXPECT_EQ(e.take_output(), move.text);
                break;
            case 'M': {
                std::string sent = e.take_output();
                EXPECT_EQ(sent.substr(sent.size() - std::min(sent.size(), move.text.size())), move.text);
                break;
            }
            case 'L':
                // The next call after the switch finds TLS on.
                EXPECT_EQ(last.kind, LineNext::kStartTls);
                break;
            case 'X':
                e.closed();
                break;
            case 'T':
                e.timed_out();
                break;
            case 'F':
                EXPECT_EQ(finish_text(last), move.text);
                continue;
        }
        last = e.next();
        if (e.sent_secret()) ++secrets_gone;
    }
    EXPECT_EQ(e.take_output(), "") << "sent after the end";
    return log;
}

const std::string kGreet = "220 mail ESMTP\r\n";
const std::string kEhlo = "EHLO 127.0.0.1\r\n";
// The message as it leaves: dot-stuffed by the builder, ended by the dot line.
const std::string kMessageEnd = "\r\n\r\none\r\n..dot\r\n...two\r\n\r\n.\r\n";

TEST(SmtpEngine, Transcripts) {
    const Case cases[] = {
        {"greeting refused",
         "",
         "",
         "",
         {{'P', "greeting"}, {'S', "554 go away\r\n"}, {'F', "1 close"}},
         FailureKind::kRemote,
         "103 ERROR: The mail server refused the connection"},
        {"EHLO refused: HELO, then the message and QUIT",
         "mailer",
         "pw",
         "",
         {{'P', "greeting"},
          {'S', kGreet},
          {'C', kEhlo},
          {'S', "502 5.5.1 what\r\n"},
          {'C', "HELO 127.0.0.1\r\n"},
          {'S', "250 hi\r\n"},
          {'F', "0"},
          {'P', "MAIL FROM"},
          {'C', "MAIL FROM:<robot@example.org>\r\n"},
          {'S', "250 ok\r\n"},
          {'C', "RCPT TO:<ops@example.org>\r\n"},
          {'S', "250 ok\r\n"},
          {'C', "DATA\r\n"},
          {'S', "354 go\r\n"},
          {'F', "wait"},
          {'M', kMessageEnd},
          {'S', "250 queued\r\n"},
          {'F', "0"},
          {'P', "QUIT"},
          {'C', "QUIT\r\n"},
          {'F', "0 close"}},
         FailureKind::kNone,
         "101 SMTP state: idle -> quitting"},
        {"AUTH LOGIN over a multi-line EHLO reply",
         "mailer",
         "s3cret!",
         "",
         {{'P', "greeting"},
          {'S', kGreet},
          {'C', kEhlo},
          {'S', "250-mail\r\n250-8BITMIME\r\n250 AUTH PLAIN LOGIN\r\n"},
          {'C', "AUTH LOGIN\r\n"},
          {'S', "334 VXNlcm5hbWU6\r\n"},
          {'C', base64_encode("mailer") + "\r\n"},
          {'S', "334 UGFzc3dvcmQ6\r\n"},
          {'C', base64_encode("s3cret!") + "\r\n"},
          {'S', "235 ok\r\n"},
          {'F', "0"}},
         FailureKind::kNone,
         "102 The mail server offers no TLS: the login crosses the network in clear"},
        // A server beyond this machine that offers no TLS (its STARTTLS stripped on the way, say)
        // never gets the login in clear.
        {"AUTH in clear beyond this machine",
         "mailer",
         "pw",
         "",
         {{'P', "greeting"},
          {'S', kGreet},
          {'C', "EHLO 192.0.2.10\r\n"},
          {'S', "250-mail\r\n250 AUTH PLAIN LOGIN\r\n"},
          {'F', "1 close"}},
         FailureKind::kRemote,
         "103 ERROR: The mail server offers no TLS, and the login would cross the network in clear (set "
         "ORVANE_MAIL_PLAIN_AUTH=1 to allow it)",
         "192.0.2.10"},
        {"AUTH PLAIN refused",
         "mailer",
         "pw",
         "",
         {{'P', "greeting"},
          {'S', kGreet},
          {'C', kEhlo},
          {'S', "250-mail\r\n250 AUTH PLAIN\r\n"},
          {'C', "AUTH PLAIN\r\n"},
          {'S', "334 \r\n"},
          {'C', base64_encode(std::string("mailer\0mailer\0pw", 16)) + "\r\n"},
          {'S', "535 no\r\n"},
          {'F', "1 close"}},
         FailureKind::kRemote},
        {"STARTTLS, then EHLO again and the login through TLS",
         "mailer",
         "pw",
         "",
         {{'P', "greeting"},
          {'S', kGreet},
          {'C', kEhlo},
          {'S', "250-mail\r\n250-AUTH LOGIN\r\n250 STARTTLS\r\n"},
          {'C', "STARTTLS\r\n"},
          {'S', "220 go ahead\r\n"},
          {'F', "starttls"},
          {'L', ""},
          {'C', kEhlo},
          {'S', "250-mail\r\n250 AUTH LOGIN\r\n"},
          {'C', "AUTH LOGIN\r\n"}},
         FailureKind::kNone},
        {"plain text behind the STARTTLS go-ahead",
         "",
         "",
         "",
         {{'P', "greeting"},
          {'S', kGreet},
          {'C', kEhlo},
          {'S', "250-mail\r\n250 STARTTLS\r\n"},
          {'C', "STARTTLS\r\n"},
          {'S', "220 go ahead\r\n250-injected\r\n"},
          {'F', "1 close"}},
         FailureKind::kProtocol,
         "103 ERROR: The mail server sent more after accepting STARTTLS"},
        {"a reply cut by the close",
         "",
         "",
         "",
         {{'P', "greeting"}, {'S', "220-mail\r\n220 ES"}, {'X', ""}, {'F', "1 close"}},
         FailureKind::kProtocol,
         "103 ERROR: The mail server's reply was cut off"},
        {"closed between replies",
         "",
         "",
         "",
         {{'P', "greeting"}, {'S', kGreet}, {'C', kEhlo}, {'X', ""}, {'F', "1 close"}},
         FailureKind::kRemote,
         "103 ERROR: The mail server closed the connection"},
        {"a NUL byte in a reply",
         "",
         "",
         "",
         {{'P', "greeting"}, {'S', std::string("220 a\0b\r\n", 9)}, {'F', "1 close"}},
         FailureKind::kProtocol,
         "103 ERROR: Unreadable reply from the mail server: "},
        {"silence",
         "",
         "",
         "",
         {{'P', "greeting"}, {'S', kGreet}, {'C', kEhlo}, {'T', ""}, {'F', "1 close"}},
         FailureKind::kTimeout,
         "103 ERROR: No answer from the mail server within the reply timeout (7 s)"},
        {"a recipient that would smuggle a command is never sent",
         "",
         "",
         "ops@example.org>\r\nRCPT TO:<victim@example.org",
         {{'P', "MAIL FROM"},
          {'C', "MAIL FROM:<robot@example.org>\r\n"},
          {'S', "250 ok\r\n"},
          {'F', "1 close"}},
         FailureKind::kLocal,
         "103 ERROR: The RCPT TO line cannot be sent"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        SmtpDelivery d;
        int secrets_gone = 0;
        std::string log = play(c, d, secrets_gone);
        EXPECT_EQ(d.failure.kind, c.failure) << d.failure.cause;
        if (c.logged) {
            EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        }
        EXPECT_EQ(log.find(c.password.empty() ? "\x01" : c.password), std::string::npos) << "password logged";
        // A line with credentials was wiped once its reply came (or its phase failed).
        bool sent_secret = log.find("334 ") != std::string::npos;
        EXPECT_EQ(secrets_gone, sent_secret ? 1 : 0) << log;
        if (sent_secret) {
            EXPECT_TRUE(d.password.empty());
        }
    }
}

// What the connection under the engine reports: lookups and connects that fail, TLS from the first
// byte, a switch to TLS that cannot be made or breaks later, and a server that floods the queue.
TEST(SmtpEngine, ConnectionEvents) {
    using ConnectError = LineEngine::ConnectError;
    using TlsError = LineEngine::TlsError;
    struct EventCase {
        const char* title;
        std::string host;
        bool implicit_tls;
        void (*events)(SmtpEngine& e);
        const char* finish;
        FailureKind failure;
        const char* logged;
    };
    const EventCase cases[] = {
        {"no host", "", false, [](SmtpEngine&) {}, "1 close", FailureKind::kLocal,
         "103 ERROR: Could not resolve mail server address"},
        {"lookup failed", "mail.invalid", false,
         [](SmtpEngine& e) { e.connect_failed(ConnectError::kResolve, 0); }, "1 close", FailureKind::kLocal,
         "103 ERROR: Could not resolve mail server address"},
        {"refused at once", "m", false,
         [](SmtpEngine& e) { e.connect_failed(ConnectError::kStart, ECONNREFUSED); }, "1 close",
         FailureKind::kLocal, "103 ERROR: Could not connect to mail server: connection was refused"},
        {"timed out at once", "m", false,
         [](SmtpEngine& e) { e.connect_failed(ConnectError::kStart, ETIMEDOUT); }, "1 close",
         FailureKind::kTimeout, "103 ERROR: Could not connect to mail server: connection timed out"},
        {"refused later", "m", false,
         [](SmtpEngine& e) { e.connect_failed(ConnectError::kEstablish, ECONNREFUSED); }, "1 close",
         FailureKind::kLocal, "103 ERROR: Could not establish tcp connection to the mail server ("},
        {"no answer to the connect", "m", false, [](SmtpEngine& e) { e.timed_out(); }, "1 close",
         FailureKind::kTimeout,
         "103 ERROR: Could not establish tcp connection to the mail server (no answer within the reply "
         "timeout of 7 s)"},
        {"implicit TLS: the greeting comes through it", "m", true,
         [](SmtpEngine& e) {
             e.connected("10.0.0.1", 1);
             EXPECT_EQ(e.next().kind, LineNext::kStartTls);
             EXPECT_EQ(e.next().kind, LineNext::kWait);
             e.receive(kGreet);
             EXPECT_EQ(e.next().kind, LineNext::kWait);
             EXPECT_EQ(e.take_output(), "EHLO 10.0.0.1\r\n");
         },
         "wait", FailureKind::kNone, "101 SMTP state: connecting -> exchanging"},
        {"the switch cannot be made", "m", true,
         [](SmtpEngine& e) {
             e.connected("10.0.0.1", 1);
             EXPECT_EQ(e.next().kind, LineNext::kStartTls);
             e.tls_failed(TlsError::kHandshake, " (no cipher)");
         },
         "1 close", FailureKind::kLocal,
         "103 ERROR: The TLS handshake with the mail server failed (no cipher)"},
        {"TLS breaks while a reply is awaited", "m", true,
         [](SmtpEngine& e) {
             e.connected("10.0.0.1", 1);
             EXPECT_EQ(e.next().kind, LineNext::kStartTls);
             EXPECT_EQ(e.next().kind, LineNext::kWait);
             e.tls_failed(TlsError::kBroken, " (bad record mac)");
         },
         "1 close", FailureKind::kProtocol, "103 ERROR: TLS failure on the mail connection (bad record mac)"},
        {"a flood of bytes", "m", false,
         [](SmtpEngine& e) {
             e.connected("10.0.0.1", 1);
             e.input_overflowed();
         },
         "1 close", FailureKind::kProtocol, "103 ERROR: Unreadable reply from the mail server: "},
    };
    for (const EventCase& c : cases) {
        SCOPED_TRACE(c.title);
        SmtpDelivery d;
        std::string log;
        d.log = capture;
        d.log_user = &log;
        d.trace = true;
        d.host = c.host;
        d.implicit_tls = c.implicit_tls;
        d.timeout_seconds = 7;
        SmtpEngine e(d);
        e.start(SmtpCommand::kGreeting);
        c.events(e);
        EXPECT_EQ(finish_text(e.next()), c.finish);
        EXPECT_EQ(d.failure.kind, c.failure) << d.failure.cause;
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    }
}

TEST(SmtpEngine, PhasesOverAClosedConnection) {
    SmtpDelivery d;
    std::string log;
    d.log = capture;
    d.log_user = &log;
    SmtpEngine e(d);
    e.start(SmtpCommand::kQuit);
    e.started(false);  // nothing to leave
    LineNext n = e.next();
    EXPECT_EQ(finish_text(n), "0");
    EXPECT_FALSE(d.failure);
    e.start(SmtpCommand::kMailFrom);
    e.started(false);
    EXPECT_EQ(finish_text(e.next()), "1 close");
    EXPECT_EQ(d.failure.kind, FailureKind::kLocal);
    EXPECT_EQ(e.take_output(), "");
}

}  // namespace
}  // namespace orvane
