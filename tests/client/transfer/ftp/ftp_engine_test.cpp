// The FTP control engine fed bytes directly: greetings, logins, the AUTH chain, the TLS go-ahead,
// implicit-TLS detection, refused, broken, cut and flooding replies, timeouts and the kind of each
// failure.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "client/transfer/ftp/ftp_engine.h"
#include "client/transfer/ftp/ftp_steps.h"
#include "common/log.h"

namespace orvane {
namespace {

// A session without connections and its control engine, with what it logged.
struct Control {
    Session s;
    std::vector<std::pair<int, std::string>> log;
    FtpControlEngine* e = nullptr;

    explicit Control(int protocol = kProtocolFtp) {
        s.log = [](void* self, const char* text, int level, int) {
            static_cast<Control*>(self)->log.emplace_back(level, text);
        };
        s.log_user = this;
        s.protocol = protocol;
        s.host = "h";
        s.user = "u";
        s.password = "p";
        s.timeout = 5;
        e = ftp_state(s).engine.get();
    }
    // Connected, the greeting awaited.
    LineNext connect(uint32_t port = 21) {
        s.port = port;
        e->prepare_connect();
        e->connected("127.0.0.1", 40000);
        return e->next();
    }
    LineNext command(FtpCommand command) {
        prepare_ftp_command(s, command);
        e->started(true);
        return e->next();
    }
    LineNext login() {
        e->prepare_login();
        e->started(true);
        return e->next();
    }
    LineNext reply(const std::string& bytes) {
        e->receive(bytes);
        return e->next();
    }
    std::string out() { return e->take_output(); }
    bool logged(int level, const std::string& text) const {
        for (auto& [l, t] : log)
            if (l == level && t == text) return true;
        return false;
    }
    FailureKind kind() const { return s.failure.kind; }
};

bool finished(const LineNext& n, int result) {
    return n.kind == LineNext::kFinish && n.result == result;
}

TEST(FtpEngine, GreetingLoginAndAUserAcceptedWithoutPassword) {
    Control t;
    EXPECT_EQ(t.connect().kind, LineNext::kWait);
    EXPECT_EQ(t.out(), "") << "the greeting is read, nothing is sent";
    EXPECT_TRUE(finished(t.reply("220-Welcome\r\n220-to the second line\r\n220 ready\r\n"), 0));
    EXPECT_EQ(ftp_state(t.s).session.local_address, "127.0.0.1");
    EXPECT_TRUE(t.logged(kLevelResponse, "220-to the second line"));
    EXPECT_EQ(t.login().kind, LineNext::kWait) << "plain FTP logs in without TLS";
    EXPECT_EQ(t.out(), "USER u\r\n");
    EXPECT_TRUE(finished(t.reply("230 no password needed\r\n"), 0));
    EXPECT_TRUE(ftp_state(t.s).control.user_accepted);
    t.command(FtpCommand::kPwd);
    EXPECT_EQ(t.out(), "PWD\r\n");
    EXPECT_TRUE(finished(t.reply("257 \"/home/u\" is current\r\n"), 0));
    EXPECT_EQ(t.s.remote_folder, "/home/u");
}

TEST(FtpEngine, ThePasswordGoesOutButNeverIntoTheLogAndItsCopiesAreWiped) {
    Control t;
    t.command(FtpCommand::kPass);
    EXPECT_EQ(t.out(), "PASS p\r\n");
    EXPECT_TRUE(t.logged(kLevelCommand, "PASS ********"));
    EXPECT_FALSE(t.logged(kLevelCommand, "PASS p"));
    EXPECT_FALSE(t.e->sent_secret()) << "not before the server has answered";
    EXPECT_TRUE(finished(t.reply("230 in\r\n"), 0));
    EXPECT_TRUE(t.e->sent_secret());
    EXPECT_FALSE(t.e->sent_secret()) << "once";
}

TEST(FtpEngine, AuthFallsBackThroughEveryVariantAndARefusalIsTheServers) {
    Control t(kProtocolFtpsProtected);
    t.connect();
    EXPECT_EQ(t.reply("220 hello\r\n").kind, LineNext::kWait);
    EXPECT_EQ(t.out(), "AUTH TLS\r\n");
    for (const char* next : {"AUTH TLS-C\r\n", "AUTH TLS-P\r\n", "AUTH SSL\r\n"}) {
        EXPECT_EQ(t.reply("500 no\r\n").kind, LineNext::kWait);
        EXPECT_EQ(t.out(), next);
    }
    EXPECT_TRUE(finished(t.reply("500 no\r\n"), 1));
    EXPECT_EQ(t.out(), "") << "no other variant, and no login";
    EXPECT_EQ(t.kind(), FailureKind::kRemote);
}

TEST(FtpEngine, TheTlsSwitchComesBeforeUserAndItsFailuresHaveTheirKinds) {
    {
        Control t(kProtocolFtpsClear);
        t.connect();
        t.reply("220 hello\r\n");
        t.reply("504 no\r\n");
        t.reply("504 no\r\n");
        EXPECT_TRUE(finished(t.reply("234 go ahead\r\n"), 0));
        EXPECT_EQ(ftp_state(t.s).session.auth_implies_protection, 1) << "AUTH TLS-P implies protection";
        t.out();
        EXPECT_EQ(t.login().kind, LineNext::kStartTls);
        t.e->tls_failed(LineEngine::TlsError::kUnavailable, "");
        EXPECT_TRUE(finished(t.e->next(), 1));
        EXPECT_EQ(t.out(), "") << "USER is never sent in plain text";
        EXPECT_TRUE(t.logged(kLevelError, "ERROR: TLS is not available for the control connection"));
        EXPECT_EQ(t.kind(), FailureKind::kLocal);
    }
    {
        Control t(kProtocolFtpsProtected);
        t.connect();
        t.reply("220 hello\r\n");
        EXPECT_TRUE(finished(t.reply("234 go ahead\r\n230 slipped in\r\n"), 1));
        EXPECT_TRUE(t.logged(kLevelError, "ERROR: The server sent more after accepting TLS"));
        EXPECT_EQ(t.kind(), FailureKind::kProtocol);
    }
    {
        Control t(kProtocolFtpsProtected);
        t.connect();
        t.reply("220 hello\r\n");
        t.reply("234 go ahead\r\n");
        t.out();
        EXPECT_EQ(t.login().kind, LineNext::kStartTls);
        EXPECT_EQ(t.e->next().kind, LineNext::kWait);
        EXPECT_EQ(t.out(), "USER u\r\n");
        t.e->receive("331 pass");
        t.e->tls_failed(LineEngine::TlsError::kBroken, " (alert)");
        EXPECT_TRUE(finished(t.e->next(), 1));
        EXPECT_TRUE(t.logged(kLevelError, "ERROR: TLS failure on the control connection (alert)"));
        EXPECT_EQ(t.kind(), FailureKind::kRemote);
    }
}

TEST(FtpEngine, AnImplicitTlsServerIsKnownByItsFirstBytesItsSilenceOrItsPort) {
    {
        Control t(kProtocolFtpsProtected);
        t.connect();
        LineNext n = t.reply(std::string("\x16\x03\x01\x00\x05", 5));
        EXPECT_TRUE(finished(n, 0));
        EXPECT_FALSE(n.close);
        EXPECT_TRUE(t.e->restart_reads());
        EXPECT_EQ(ftp_state(t.s).session.implicit_tls, 1);
        EXPECT_EQ(t.e->take_early_tls_input(), std::string("\x16\x03\x01\x00\x05", 5))
            << "the first records go to TLS";
        EXPECT_EQ(t.login().kind, LineNext::kStartTls);
        EXPECT_EQ(t.e->next().kind, LineNext::kWait);
        EXPECT_EQ(t.out(), "") << "the greeting comes through TLS first";
        EXPECT_EQ(t.reply("220 secure\r\n").kind, LineNext::kWait);
        EXPECT_EQ(t.out(), "USER u\r\n");
    }
    {
        Control t(kProtocolFtpsProtected);
        t.connect();
        EXPECT_EQ(t.e->time_limit(), 10) << "a TLS kind waits only so long for a plain greeting";
        t.e->limit_expired();
        EXPECT_TRUE(finished(t.e->next(), 0));
        EXPECT_EQ(ftp_state(t.s).session.implicit_tls, 1);
        EXPECT_EQ(t.e->time_limit(), -1);
    }
    {
        Control t(kProtocolFtpsProtected);
        EXPECT_TRUE(finished(t.connect(990), 0));
        EXPECT_EQ(ftp_state(t.s).session.implicit_tls, 1);
    }
    {
        Control t;
        t.connect();
        EXPECT_EQ(t.e->time_limit(), -1) << "plain FTP has no probe";
        EXPECT_TRUE(finished(t.reply("220 hi\r\n"), 0));
    }
}

// Each answer to a command (kGreeting: to the connect) that ends it, and how.
TEST(FtpEngine, RefusedBrokenCutAndFloodingRepliesAClosedConnectionAndSilenceEndWithTheirKinds) {
    enum Event { kNothing, kClosed, kOverflow, kTimedOut };
    struct Case {
        FtpCommand command;
        std::string bytes;
        Event then;
        const char* error;  // the one error line, when the case has its own
        FailureKind kind;
        bool close;
    };
    std::string flood;
    for (int i = 0; i < 1100; ++i) flood += "331-line\r\n";
    const Case cases[] = {
        {FtpCommand::kUser, "331-first line of a reply\r\n331-that never", kClosed,
         "ERROR: The server's reply was cut off", FailureKind::kProtocol, false},
        {FtpCommand::kUser, "", kClosed, "ERROR: The server closed the connection", FailureKind::kRemote,
         false},
        {FtpCommand::kUser, flood, kNothing, "ERROR: Unreadable server reply: too many reply lines",
         FailureKind::kProtocol, false},
        {FtpCommand::kUser, "331-x\r\n", kOverflow, "ERROR: Unreadable server reply: reply too large",
         FailureKind::kProtocol, true},
        {FtpCommand::kUser, "530 go away\r\n", kNothing, nullptr, FailureKind::kRemote, false},
        {FtpCommand::kGreeting, "500 go away\r\n", kNothing, nullptr, FailureKind::kRemote, false},
        {FtpCommand::kPasv, "227 Entering Passive Mode\r\n", kNothing,
         "ERROR: The passive reply holds no address", FailureKind::kProtocol, false},
        {FtpCommand::kTypeI, "200-half a reply\r\n", kTimedOut,
         "ERROR: The server did not answer within 5 seconds", FailureKind::kTimeout, true},
    };
    for (const Case& c : cases) {
        Control t;
        if (c.command == FtpCommand::kGreeting) {
            t.connect();
        } else {
            t.command(c.command);
        }
        t.e->receive(c.bytes);
        if (c.then == kClosed) t.e->closed();
        if (c.then == kOverflow) t.e->input_overflowed();
        if (c.then == kTimedOut) t.e->timed_out();
        LineNext n = t.e->next();
        std::string what = c.bytes.substr(0, 40);
        EXPECT_TRUE(finished(n, 1)) << what;
        EXPECT_EQ(n.close, c.close) << what;
        size_t errors = 0;
        for (auto& [level, text] : t.log) errors += level == kLevelError;
        EXPECT_EQ(errors, c.error ? 1u : 0u) << what;
        if (c.error) {
            EXPECT_TRUE(t.logged(kLevelError, c.error)) << c.error;
        } else {
            EXPECT_TRUE(t.logged(kLevelResponse, c.bytes.substr(0, c.bytes.size() - 2)))
                << "the refusal is shown";
        }
        EXPECT_EQ(t.kind(), c.kind) << what;
    }
}

TEST(FtpEngine, ATimeoutClosesUnlessTheDataConnectionIsStillMovingTheFile) {
    Control t;
    t.command(FtpCommand::kPwd);
    t.e->timed_out();
    LineNext n = t.e->next();
    EXPECT_TRUE(finished(n, 1));
    EXPECT_TRUE(n.close) << "a late reply would answer the next command";
    EXPECT_TRUE(t.logged(kLevelError, "ERROR: The server did not answer within 5 seconds"));
    EXPECT_EQ(t.kind(), FailureKind::kTimeout);

    Control u;
    u.command(FtpCommand::kRetr);
    ftp_state(u.s).data_running = true;
    u.e->timed_out();
    EXPECT_EQ(u.e->next().kind, LineNext::kWait);
    u.e->aborted();
    EXPECT_TRUE(finished(u.e->next(), 1)) << "the data step gave up";
    EXPECT_EQ(u.kind(), FailureKind::kTimeout);
}

TEST(FtpEngine, TypeIsTrackedAcrossCommands) {
    Control t;
    FtpControl& fc = ftp_state(t.s).control;
    t.command(FtpCommand::kTypeI);
    EXPECT_EQ(t.out(), "TYPE I\r\n");
    t.reply("200 binary\r\n");
    EXPECT_EQ(fc.type, FtpCommand::kTypeI);
    t.s.argument = "SITE CHMOD 644 f";
    t.command(FtpCommand::kCustom);
    EXPECT_EQ(fc.type, FtpCommand::kNone) << "the user's own command may change it";
    t.reply("200 done\r\n");
    t.command(FtpCommand::kTypeA);
    EXPECT_TRUE(finished(t.reply("504 not now\r\n"), 1));
    EXPECT_EQ(fc.type, FtpCommand::kNone);
}

TEST(FtpEngine, UnsendableCommandsFailHereAndQuitNeedsNoAnswer) {
    {
        Control t;
        t.s.argument = "NOOP\r\nDELE everything";
        EXPECT_TRUE(finished(t.command(FtpCommand::kCustom), 1));
        EXPECT_EQ(t.out(), "") << "a line break in an argument never reaches the server";
        EXPECT_TRUE(t.logged(kLevelError, "ERROR: No usable argument for custom"));
        EXPECT_EQ(t.kind(), FailureKind::kLocal);
    }
    {
        Control t;
        prepare_ftp_command(t.s, FtpCommand::kPwd);
        t.e->started(false);
        EXPECT_TRUE(finished(t.e->next(), 1));
        EXPECT_TRUE(t.logged(kLevelError, "ERROR: Not connected"));
        prepare_ftp_command(t.s, FtpCommand::kQuit);
        t.e->started(false);
        EXPECT_TRUE(finished(t.e->next(), 0)) << "nothing to leave";
    }
    {
        Control t;
        t.command(FtpCommand::kQuit);
        EXPECT_EQ(t.out(), "QUIT\r\n");
        t.e->receive("221 bye\r\n");
        t.e->output_sent();
        LineNext n = t.e->next();
        EXPECT_TRUE(finished(n, 0));
        EXPECT_TRUE(n.close);
        EXPECT_TRUE(t.logged(kLevelResponse, "221 bye"));
    }
}

}  // namespace
}  // namespace orvane
