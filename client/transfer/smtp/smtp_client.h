// The SMTP engine: the command table, the named states, the delivery record the table works on,
// and the engine that drives them on bytes alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/transfer/line/line_channel.h"
#include "client/transfer/net/filter.h"
#include "client/transfer/smtp/smtp_capabilities.h"
#include "common/failure.h"

namespace orvane {

// The commands of a delivery, one row each in the command table (smtp_commands.cpp). kGreeting
// sends nothing: its reply is the server's greeting.
enum class SmtpCommand : int {
    kNone = 0,
    kGreeting,
    kEhlo,
    kHelo,
    kStartTls,
    kAuthLogin,
    kLoginUser,
    kLoginPassword,
    kAuthPlain,
    kPlainCredentials,
    kMailFrom,
    kRcptTo,
    kData,
    kMessage,  // the message text and its terminating dot line
    kQuit,
    kCount,
};
inline constexpr int kSmtpCommandCount = static_cast<int>(SmtpCommand::kCount);

// The states of the engine.
enum class SmtpState : int {
    kIdle = 0,
    kConnecting,  // waiting for the name lookup, the TCP connect or implicit TLS
    kExchanging,  // a command is out (or the greeting is due); waiting for its reply
    kQuitting,    // QUIT is out; the next call once it has gone ends the delivery
    kCount,
};
const char* smtp_state_name(SmtpState state);

// Replies from mail servers: lines cut at the designed line width, few lines, little buffered.
inline constexpr ReplyLimits kSmtpReplyLimits{kLineCapacity, 200, 32768};

// One delivery's record. The requester writes the settings and the message text before it starts a
// phase; the engine writes the results before it finishes one.
struct SmtpDelivery {
    // Settings (requester's thread, before posting).
    std::string host;
    uint32_t port = 25;
    bool implicit_tls = false;  // port 465: TLS from the first byte
    std::string user;           // empty: no authentication
    Secret password;  // out of core dumps; wiped once its line is built, and at the end of the delivery
    std::string from_address;
    std::vector<std::string> recipients;  // one RCPT TO each, in order; at least one
    size_t next_recipient = 0;            // the one the next RCPT TO names
    std::string message_text;             // the DATA content, built between the greeting and the sending
    bool eight_bit = false;               // the message text holds bytes above 127
    int timeout_seconds = 120;
    bool trace = false;                      // state changes go to the log
    bool plain_login_allowed = false;        // a login in clear to a server beyond this machine
    SmtpCommand first = SmtpCommand::kNone;  // what the phase starts with
    LogCallback log = nullptr;
    void* log_user = nullptr;

    // Results.
    std::string local_address;
    SmtpCapabilities caps;
    bool tls = false;  // the connection runs through TLS
    Failure failure;   // why the delivery failed (the first cause)

    // Working state of the engine.
    LineChannel channel{kSmtpReplyLimits};
    SmtpCommand command = SmtpCommand::kNone;
};

// What a command's reply asks the engine to do next.
struct SmtpAction {
    enum Kind : int { kFinish, kSend, kStartTls } kind = kFinish;
    int result = 0;                              // kFinish: the phase's result
    SmtpCommand next = SmtpCommand::kNone;       // kSend: the command to send next
    const char* error = nullptr;                 // kFinish with a failure: the message, if any
    FailureKind failure = FailureKind::kRemote;  // kFinish with a failure: its kind
};
using SmtpLineBuilder = std::string (*)(SmtpDelivery& d);
using SmtpReplyHandler = SmtpAction (*)(SmtpDelivery& d, const ServerReply& reply);

struct SmtpCommandRow {
    SmtpCommand command;
    const char* name;
    SmtpLineBuilder line;  // null: nothing is sent (the greeting)
    SmtpReplyHandler on_reply;
    bool secret;  // the line carries credentials: wiped from every buffer once it has gone
    bool raw;     // the line is sent as built, without CR LF
};
const SmtpCommandRow& smtp_command_row(SmtpCommand command);

// Writes through the delivery's log callback.
void delivery_log(const SmtpDelivery& d, int level, const std::string& text);

// One delivery's conversation on bytes alone. Each phase begins with start(); the line step over
// the connection feeds replies and events, takes the lines to send and carries out next().
class SmtpEngine final : public LineEngine {
  public:
    explicit SmtpEngine(SmtpDelivery& d) : d_(d) {}

    // A phase starts with `first`. The greeting starts a new connection (the step connects, and
    // connected() makes it due); any other command is sent on started() over the open connection.
    void start(SmtpCommand first);
    SmtpState state() const { return state_; }

    void receive(std::string_view bytes) override;
    std::string take_output() override { return d_.channel.take_output(); }
    void closed() override { closed_ = true; }
    void timed_out() override { late_ = true; }
    LineNext next() override;

    void started(bool connection_up) override;
    void connected(const std::string& local_address, uint32_t local_port) override;
    void connect_failed(ConnectError what, int error) override;
    void tls_failed(TlsError what, const std::string& cause) override;
    bool describes_tls() const override { return true; }
    void input_overflowed() override { overflowed_ = true; }
    bool sent_secret() override;
    void log(int level, const std::string& text) override { delivery_log(d_, level, text); }
    const char* name() const override { return "SMTP"; }

  private:
    void set_state(SmtpState state);
    void send_command();
    void handle_reply(const ServerReply& reply);
    LineNext ask_tls();
    void tls_on();
    // The single failure point: the phase ends with `message`, and the connection is closed.
    void fail(FailureKind kind, const std::string& message);
    void finish(int result, bool close);

    SmtpDelivery& d_;
    SmtpState state_ = SmtpState::kIdle;
    LineNext outcome_;
    SmtpCommand after_tls_ = SmtpCommand::kEhlo;  // what the client says first through TLS
    bool closed_ = false;
    bool late_ = false;
    bool overflowed_ = false;
    bool tls_due_ = false;    // next() asks for TLS
    bool tls_asked_ = false;  // the switch is being made; the next next() finds TLS on
    bool secret_gone_ = false;
};

}  // namespace orvane
