// The session channel against our scripted server, for what a real sshd does not do on demand:
// small packets and windows, window returns checked byte for byte, server requests, refusals,
// a close from the server and a server that ignores our window. Every message the client sends is
// written down in order and must name the server's channel.
#include "client/ssh/ssh_channel.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/ssh/ssh_userauth.h"
#include "common/log.h"
#include "common/text.h"
#include "tests/client/ssh/ssh_test_peer.h"
#include "tests/support/log_lines.h"

namespace orvane::ssh {
namespace {

constexpr uint32_t kServerId = 7;

// A message from the server, built field by field.
struct Msg {
    SshBuffer b;
    explicit Msg(uint8_t number) { b.put_byte(number); }
    Msg& u32(uint32_t v) {
        b.put_u32(v);
        return *this;
    }
    Msg& str(std::string_view s) {
        b.put_string(s);
        return *this;
    }
    Msg& flag(bool v) {
        b.put_bool(v);
        return *this;
    }
    operator std::string() const { return std::string(b.view()); }
};
std::string data_message(std::string_view data) {
    return Msg(94).u32(0).str(data);
}

// The server's side of login and the channel.
struct ChannelPeer {
    uint32_t window = 1u << 20;
    uint32_t max_packet = 32768;
    std::vector<std::string> open_answer;                      // replaces the confirmation
    std::vector<std::string> on_subsystem = {Msg(99).u32(0)};  // answers "subsystem"
    std::vector<std::string> events;                           // what the client sent, in order
    std::string data;
    bool wrong_recipient = false;

    void answer(test::ScriptedServer& server, SshBuffer& payload) {
        uint8_t number = payload.get_byte();
        if (number == 50) {
            server.send(std::string(1, char(52)));
            server.transport().start_delayed_compression();
            return;
        }
        if (number == 82) {
            events.push_back("82");
            return;
        }
        if (number == 90) {
            std::string type(payload.get_string());
            uint32_t id = payload.get_u32(), window_size = payload.get_u32(), packet = payload.get_u32();
            events.push_back(format("open %s %u %u %u", type.c_str(), id, window_size, packet));
            if (open_answer.empty())
                server.send(Msg(91).u32(0).u32(kServerId).u32(window).u32(max_packet).b.view());
            for (const std::string& m : open_answer) server.send(m);
            return;
        }
        if (payload.get_u32() != kServerId) wrong_recipient = true;
        if (number == 98) {
            std::string type(payload.get_string());
            bool want_reply = payload.get_bool();
            events.push_back(type + " " + std::string(payload.get_string()) + (want_reply ? " (reply)" : ""));
            for (const std::string& m : on_subsystem) server.send(m);
        } else if (number == 94) {
            std::string_view d = payload.get_string();
            events.push_back(format("data %zu", d.size()));
            data += d;
        } else if (number == 93) {
            events.push_back(format("adjust %u", payload.get_u32()));
        } else {
            events.push_back(format("%u", number));
        }
    }
};

void trace(void* user, ChannelState, ChannelState to) {
    static_cast<std::vector<ChannelState>*>(user)->push_back(to);
}

// A session logged in through the scripted server with the channel as its connection service.
struct Session {
    ::orvane::test::LogLines log;
    std::vector<ChannelState> states;
    ChannelPeer peer;
    test::ScriptedServer server;
    std::unique_ptr<SshSession> session;

    void start() {
        FilterConfig config;
        config.user = "alice";
        config.log = &::orvane::test::LogLines::collect;
        config.log_user = &log;
        session = std::make_unique<SshSession>(config, test::fake_kex_parts());
        session->set_service(
            make_userauth_service(*session, make_channel_service(*session, {&trace, &states})));
        server.on_service = [this](test::ScriptedServer& s, SshBuffer& payload) { peer.answer(s, payload); };
        test::exchange(*session, server);
    }
    // Application output leaves in the step that takes it, in as many messages as the window
    // allows: one delivery to the server shows them all.
    void put(const std::string& bytes) {
        ASSERT_EQ(session->put_application(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                  bytes.size());
        std::string out = session->network_output().contents();
        session->network_output().clear();
        server.receive(out);
    }
    void server_sends(const std::vector<std::string>& messages) {
        for (const std::string& m : messages) server.send(m);
        test::exchange(*session, server);
    }
    std::string take(size_t most) {
        std::string out(most, '\0');
        out.resize(session->get_application(reinterpret_cast<uint8_t*>(out.data()), most));
        test::exchange(*session, server);
        return out;
    }
};

using Events = std::vector<std::string>;

TEST(SshChannel, OpensTheSftpSubsystemAndCarriesBytesBothWays) {
    Session run;
    run.peer.max_packet = 16384;
    run.peer.window = 40000;
    run.start();
    ASSERT_EQ(run.session->session_error(), 0) << run.session->error_text();
    EXPECT_EQ(run.peer.events, (Events{"open session 0 2097152 32768", "subsystem sftp (reply)"}));
    EXPECT_EQ(run.states, std::vector<ChannelState>{ChannelState::kOpen});
    EXPECT_TRUE(run.log.has(kLevelInfo, "sftp subsystem started"));

    // Within the server's packet size and window; its adjustments let the rest go.
    std::string up = test::random_payload(40010);
    run.put(up);
    Events sent = {"data 16384", "data 16384", "data 7232"};
    EXPECT_EQ(Events(run.peer.events.begin() + 2, run.peer.events.end()), sent);
    run.server_sends({Msg(93).u32(0).u32(4)});
    run.server_sends({Msg(93).u32(0).u32(100)});
    sent.insert(sent.end(), {"data 4", "data 6"});
    EXPECT_EQ(Events(run.peer.events.begin() + 2, run.peer.events.end()), sent);
    EXPECT_EQ(run.peer.data, up);

    std::string down = test::random_payload(50000);
    run.server_sends({data_message(down.substr(0, 20000)), data_message(down.substr(20000))});
    EXPECT_EQ(run.session->application_input().contents(), down);
    EXPECT_EQ(run.session->session_error(), 0) << run.session->error_text();
    EXPECT_FALSE(run.peer.wrong_recipient);
}

TEST(SshChannel, WindowReturnsFollowWhatTheApplicationTook) {
    Session run;
    run.start();
    // Half the window and one message more: the session stops reading at half, with nothing taken.
    std::string down = test::random_payload((1u << 20) + 32768);
    std::vector<std::string> messages;
    for (size_t at = 0; at < down.size(); at += 32768)
        messages.push_back(data_message(down.substr(at, 32768)));
    run.server_sends(messages);
    EXPECT_EQ(run.peer.events.size(), 2u) << run.peer.events.back();
    std::string taken = run.take(2u << 20);
    EXPECT_EQ(taken.size(), 1u << 20);
    // The last message is read now and sits in application input: only what was taken returns.
    EXPECT_EQ(run.peer.events.back(), "adjust 1048576");
    taken += run.take(2u << 20);
    EXPECT_EQ(taken, down);
    EXPECT_EQ(run.peer.events.size(), 3u) << run.peer.events.back();

    // Extended data (the subsystem's error output) is logged, escaped and bounded, and its window
    // returns at once: more of it than the whole window passes without a failure.
    std::string noise;
    while (noise.size() < 40000) noise += "error\x1b line\n";
    std::vector<std::string> error_output(60, Msg(95).u32(0).u32(1).str(noise));
    run.server_sends(error_output);
    EXPECT_EQ(run.session->session_error(), 0) << run.session->error_text();
    EXPECT_TRUE(run.log.has(kLevelWarning, "error\\x1b line"));
    EXPECT_TRUE(run.log.has(kLevelWarning, "further error output of the server is not shown"));
    size_t warnings = 0;
    for (const auto& [level, text] : run.log.lines) warnings += level == kLevelWarning;
    EXPECT_EQ(warnings, 101u);
}

TEST(SshChannel, RequestsFromTheServer) {
    Session run;
    run.start();
    run.server_sends({
        Msg(98).u32(0).str("exit-status").flag(true).u32(3),
        Msg(98).u32(0).str("keepalive@openssh.com").flag(true),
        Msg(98).u32(0).str("exit-status").flag(false).u32(0),
        Msg(98).u32(0).str("exit-signal").flag(false).str("KILL").flag(false).str("killed\r\n").str(""),
        Msg(80).str("hostkeys-00@openssh.com").flag(false).str("blob"),
        Msg(80).str("keepalive@openssh.com").flag(true),
        Msg(99).u32(0),  // no request of ours: ignored
    });
    EXPECT_EQ(Events(run.peer.events.begin() + 2, run.peer.events.end()), (Events{"99", "100", "82"}));
    EXPECT_TRUE(run.log.has(kLevelInfo, "ended with status 3"));
    EXPECT_TRUE(run.log.has(kLevelWarning, "signal KILL: killed\\x0d\\x0a"));
    EXPECT_EQ(run.session->session_error(), 0) << run.session->error_text();
    EXPECT_FALSE(run.peer.wrong_recipient);
}

TEST(SshChannel, FailuresEndTheSession) {
    struct Case {
        const char* name;
        std::vector<std::string> open_answer;
        std::vector<std::string> on_subsystem;
        const char* cause;
        const char* last_event = "subsystem sftp (reply)";
    } cases[] = {
        {"open refused",
         {Msg(92).u32(0).u32(1).str("administratively\x1b prohibited").str("")},
         {},
         "refused the session channel, reason 1: administratively\\x1b prohibited",
         "open session 0 2097152 32768"},
        {"subsystem refused", {}, {Msg(100).u32(0)}, "the server refused the sftp subsystem"},
        {"server closes the channel",
         {},
         {Msg(99).u32(0), data_message("early"), Msg(96).u32(0), Msg(97).u32(0)},
         "the server closed the SFTP channel",
         "97"},
        {"maximum packet 0",
         {Msg(91).u32(0).u32(kServerId).u32(1000).u32(0)},
         {},
         "maximum packet 0",
         "open session 0 2097152 32768"},
        {"confirmation for another channel",
         {Msg(91).u32(5).u32(kServerId).u32(1000).u32(1000)},
         {},
         "CHANNEL_OPEN_CONFIRMATION for channel 5, not ours",
         "open session 0 2097152 32768"},
        {"window past 2^32-1", {}, {Msg(93).u32(0).u32(0xffffffffu)}, "window grew past 2^32-1"},
        {"a channel opened by the server",
         {},
         {Msg(90).str("x11").u32(1).u32(1000).u32(1000)},
         "unexpected message 90 while the channel is open"},
        {"data after the end of data",
         {},
         {Msg(96).u32(0), data_message("late")},
         "CHANNEL_DATA after the server's end of data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session run;
        run.peer.open_answer = c.open_answer;
        run.peer.on_subsystem = c.on_subsystem;
        run.start();
        EXPECT_EQ(run.session->session_error(), kErrorChannel);
        EXPECT_NE(run.session->error_text().find(c.cause), std::string::npos) << run.session->error_text();
        EXPECT_TRUE(run.log.has(kLevelError, "An bogus channel packet was received"));
        ASSERT_FALSE(run.states.empty());
        EXPECT_EQ(run.states.back(), ChannelState::kClosed);
        EXPECT_EQ(run.peer.events.back(), c.last_event);
        EXPECT_EQ(run.server.received_numbers.back(), 1);  // DISCONNECT
        if (std::string(c.last_event) == "97") {
            // Our CLOSE went once, to the server's channel; what came before stays readable.
            EXPECT_FALSE(run.peer.wrong_recipient);
            EXPECT_EQ(run.session->application_input().contents(), "early");
        }
    }
}

// A server that ignores the window: once its sending passes what was given, the session ends
// rather than dropping the surplus (the dropped bytes would be missing from the file).
TEST(SshChannel, DataBeyondTheWindowFailsInsteadOfBeingDropped) {
    FilterConfig config;
    config.log = [](void*, const char*, int, int) {};
    SshSession session(config, test::fake_kex_parts());
    session.set_authenticated();
    std::unique_ptr<SshService> channel = make_channel_service(session);
    ASSERT_EQ(channel->start(session), 0);
    auto deliver = [&](const std::string& message) {
        SshBuffer payload(message);
        return channel->message(session, payload);
    };
    ASSERT_EQ(deliver(Msg(91).u32(0).u32(kServerId).u32(1000).u32(1000)), 0);
    std::string block(32768, 'd');
    for (uint32_t sent = 0; sent < kChannelWindow; sent += 32768) ASSERT_EQ(deliver(data_message(block)), 0);
    EXPECT_EQ(deliver(data_message("!")), 1);
    EXPECT_EQ(session.session_error(), kErrorChannel);
    EXPECT_NE(session.error_text().find("CHANNEL_DATA of 1 bytes beyond the channel window of 0 bytes"),
              std::string::npos)
        << session.error_text();
    EXPECT_EQ(session.application_input().size(), kChannelWindow);
}

}  // namespace
}  // namespace orvane::ssh
