// The SMTP client's working state and steps (private to the mail engine): the command table, the
// named states of the step machine, and the delivery record the steps work on.
#pragma once

#include <cstdint>
#include <string>

#include "client/actions/mail/smtp_capabilities.h"
#include "client/transfer/net/connection.h"
#include "client/transfer/text/reply_reader.h"

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

// The states of the step machine (the connection's step-state number).
enum class SmtpState : int {
    kIdle = 0,
    kConnecting,  // waiting for the TCP connect
    kExchanging,  // a command is out (or the greeting is due); waiting for its reply
    kQuitting,    // QUIT is out; the next I/O notification ends the delivery
    kCount,
};
const char* smtp_state_name(SmtpState state);

// Replies from mail servers: lines cut at the designed line width, few lines, little buffered.
inline constexpr ReplyLimits kSmtpReplyLimits{kLineCapacity, 200, 32768};

// One delivery's record. The requester writes the settings and the message text before it posts a
// step; the steps write the results before they finish; the step lock orders both.
struct SmtpDelivery {
    // Settings (requester's thread, before posting).
    std::string host;
    uint32_t port = 25;
    bool implicit_tls = false;  // port 465: TLS from the first byte
    std::string user;           // empty: no authentication
    std::string password;       // wiped once its line is built, and at the end of the delivery
    std::string from_address;
    std::string to_address;
    std::string message_text;  // the DATA content, built between the greeting and the sending
    bool eight_bit = false;    // the message text holds bytes above 127
    int timeout_seconds = 120;
    bool trace = false;                      // state changes go to the log
    SmtpCommand first = SmtpCommand::kNone;  // what the posted step starts with
    LogCallback log = nullptr;
    void* log_user = nullptr;

    // Results (the steps).
    std::string local_address;
    SmtpCapabilities caps;
    bool tls = false;           // the connection runs through TLS
    bool tls_reported = false;  // what the handshake settled has been logged

    // Working state (the connection's group thread).
    ReplyReader reader{kSmtpReplyLimits};
    SmtpCommand command = SmtpCommand::kNone;
    uint64_t fed = 0;           // bytes given to the reader
    uint64_t receive_mark = 0;  // `fed` when the running receive started
    bool receiving = false;
    std::string out;  // the line (or message) being sent
    size_t out_offset = 0;
};

// What a command's reply asks the step to do next.
struct SmtpAction {
    enum Kind : int { kFinish, kSend, kStartTls } kind = kFinish;
    int result = 0;                         // kFinish: the step's result
    SmtpCommand next = SmtpCommand::kNone;  // kSend: the command to send next
    const char* error = nullptr;            // kFinish with a failure: the message, if any
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

// The step of every phase: connects first when the delivery's first command is the greeting,
// otherwise sends the first command; then follows the replies until one finishes the step.
void smtp_step(Connection& c);
// The connection's handlers: received bytes go to the delivery's reply reader, bytes to send come
// from its outgoing line.
int smtp_receive(Connection& c, const uint8_t* data, size_t n);
int smtp_send(Connection& c, uint8_t* buffer, size_t* length, size_t capacity);

}  // namespace orvane
