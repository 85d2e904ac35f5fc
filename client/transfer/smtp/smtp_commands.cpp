// The SMTP command table: each command's line and what its reply leads to.
#include <string>

#include "client/transfer/smtp/smtp_client.h"
#include "common/base64.h"
#include "common/log.h"
#include "common/secret.h"
#include "common/table.h"

namespace orvane {

namespace {

SmtpAction finish(int result, const char* error = nullptr, FailureKind kind = FailureKind::kRemote) {
    return SmtpAction{SmtpAction::kFinish, result, SmtpCommand::kNone, error, kind};
}
SmtpAction send(SmtpCommand next) {
    return SmtpAction{SmtpAction::kSend, 0, next, nullptr, FailureKind::kRemote};
}
SmtpAction send_if(bool ok, SmtpCommand next, const char* error) {
    return ok ? send(next) : finish(1, error);
}
SmtpAction finish_if(bool ok, const char* error) {
    return ok ? finish(0) : finish(1, error);
}

// ---- lines ----

std::string line_ehlo(SmtpDelivery& d) {
    return "EHLO " + d.local_address;
}
std::string line_helo(SmtpDelivery& d) {
    return "HELO " + d.local_address;
}
std::string line_starttls(SmtpDelivery&) {
    return "STARTTLS";
}
std::string line_auth_login(SmtpDelivery&) {
    return "AUTH LOGIN";
}
std::string line_login_user(SmtpDelivery& d) {
    return base64_encode(d.user);
}
std::string line_login_password(SmtpDelivery& d) {
    std::string line = base64_encode(d.password.view());
    wipe_secret(d.password);
    return line;
}
std::string line_auth_plain(SmtpDelivery&) {
    return "AUTH PLAIN";
}
// The user name is both the authorisation and the authentication identity; no zero byte follows
// the password.
std::string line_plain_credentials(SmtpDelivery& d) {
    std::string credentials = d.user;
    credentials.push_back('\0');
    credentials += d.user;
    credentials.push_back('\0');
    credentials += d.password.view();
    std::string line = base64_encode(credentials);
    wipe_secret(credentials);
    wipe_secret(d.password);
    return line;
}
std::string line_mail_from(SmtpDelivery& d) {
    std::string line = "MAIL FROM:<" + d.from_address + ">";
    if (d.eight_bit && d.caps.eight_bit_mime) line += " BODY=8BITMIME";
    return line;
}
std::string line_rcpt_to(SmtpDelivery& d) {
    const std::string& to = d.next_recipient < d.recipients.size() ? d.recipients[d.next_recipient] : "";
    return "RCPT TO:<" + to + ">";
}
std::string line_data(SmtpDelivery&) {
    return "DATA";
}
// The text is sent once: it moves into the outgoing buffer rather than being copied (attachments
// can make it large).
std::string line_message(SmtpDelivery& d) {
    return std::move(d.message_text);
}
std::string line_quit(SmtpDelivery&) {
    return "QUIT";
}

// ---- replies ----

SmtpAction on_greeting(SmtpDelivery&, const ServerReply& r) {
    return send_if(reply_positive(r.code), SmtpCommand::kEhlo,
                   "ERROR: The mail server refused the connection");
}

// A connection whose own end is a loopback address can only lead to this machine.
bool on_loopback(const std::string& local_address) {
    return local_address.rfind("127.", 0) == 0 || local_address == "::1" ||
           local_address.rfind("::ffff:127.", 0) == 0;
}

// What follows a positive EHLO (or HELO when TLS was not offered): TLS first when the server
// offers it, then authentication when a user is set.
SmtpAction after_hello(SmtpDelivery& d) {
    if (d.caps.starttls && !d.tls) return send(SmtpCommand::kStartTls);
    if (d.user.empty() || d.caps.auth == SmtpAuth::kNone) return finish(0);
    if (d.caps.auth == SmtpAuth::kUnsupported)
        return finish(1, "ERROR: The mail server offers neither AUTH LOGIN nor AUTH PLAIN");
    if (!d.tls) {
        // A man in the middle strips STARTTLS from the EHLO reply to read the login: only this
        // machine's own server, or a run that says so, gets it in clear.
        if (!on_loopback(d.local_address) && !d.plain_login_allowed)
            return finish(
                1,
                "ERROR: The mail server offers no TLS, and the login would cross the network in clear "
                "(set ORVANE_MAIL_PLAIN_AUTH=1 to allow it)");
        delivery_log(d, kLevelWarning,
                     "The mail server offers no TLS: the login crosses the network in clear");
    }
    return send(d.caps.auth == SmtpAuth::kLogin ? SmtpCommand::kAuthLogin : SmtpCommand::kAuthPlain);
}

SmtpAction on_ehlo(SmtpDelivery& d, const ServerReply& r) {
    // A server that does not know EHLO is greeted with HELO and never authenticated.
    if (!reply_positive(r.code)) return send(SmtpCommand::kHelo);
    d.caps = parse_ehlo_reply(r.lines);
    return after_hello(d);
}

SmtpAction on_helo(SmtpDelivery& d, const ServerReply& r) {
    d.caps = SmtpCapabilities();
    return finish_if(reply_positive(r.code), "ERROR: The mail server refused HELO");
}

// TLS starts right behind the go-ahead: plain text after it could have been slipped in by anyone
// on the path. A refusal is bearable only while nothing secret is to be sent.
SmtpAction on_starttls(SmtpDelivery& d, const ServerReply& r) {
    if (r.code >= 200 && r.code <= 299) {
        if (d.channel.more_after_go_ahead())
            return finish(1, "ERROR: The mail server sent more after accepting STARTTLS",
                          FailureKind::kProtocol);
        return SmtpAction{SmtpAction::kStartTls, 0, SmtpCommand::kEhlo, nullptr, FailureKind::kRemote};
    }
    if (!d.user.empty() && d.caps.auth != SmtpAuth::kNone)
        return finish(1, "ERROR: The mail server refused STARTTLS; the login is not sent in clear");
    delivery_log(d, kLevelWarning, "The mail server refused STARTTLS; the message goes in clear");
    d.caps.starttls = false;
    return finish(0);
}

SmtpAction on_auth_login(SmtpDelivery&, const ServerReply& r) {
    return send_if(reply_not_refused(r.code), SmtpCommand::kLoginUser,
                   "ERROR: The mail server refused AUTH LOGIN");
}
SmtpAction on_login_user(SmtpDelivery&, const ServerReply& r) {
    return send_if(reply_not_refused(r.code), SmtpCommand::kLoginPassword,
                   "ERROR: The mail server refused the user name");
}
SmtpAction on_login_password(SmtpDelivery&, const ServerReply& r) {
    return finish_if(reply_positive(r.code), "ERROR: The mail server refused the login");
}
SmtpAction on_auth_plain(SmtpDelivery&, const ServerReply& r) {
    return send_if(reply_not_refused(r.code), SmtpCommand::kPlainCredentials,
                   "ERROR: The mail server refused AUTH PLAIN");
}
SmtpAction on_plain_credentials(SmtpDelivery&, const ServerReply& r) {
    return finish_if(reply_positive(r.code), "ERROR: The mail server refused the login");
}
SmtpAction on_mail_from(SmtpDelivery& d, const ServerReply& r) {
    d.next_recipient = 0;
    return send_if(reply_positive(r.code), SmtpCommand::kRcptTo, "ERROR: The mail server refused the sender");
}
// Every recipient must be taken before DATA: a refusal ends the delivery before the message goes
// to anyone, so a list is delivered whole or not at all.
SmtpAction on_rcpt_to(SmtpDelivery& d, const ServerReply& r) {
    if (!reply_positive(r.code)) return finish(1, "ERROR: The mail server refused the recipient");
    ++d.next_recipient;
    return send(d.next_recipient < d.recipients.size() ? SmtpCommand::kRcptTo : SmtpCommand::kData);
}
SmtpAction on_data(SmtpDelivery&, const ServerReply& r) {
    return send_if(reply_not_refused(r.code), SmtpCommand::kMessage, "ERROR: The mail server refused DATA");
}
SmtpAction on_message(SmtpDelivery&, const ServerReply& r) {
    return finish_if(reply_positive(r.code), "ERROR: The mail server refused the message");
}
// QUIT's reply is not examined; the quitting state ends the step before one matters.
SmtpAction on_quit(SmtpDelivery&, const ServerReply&) {
    return finish(0);
}
SmtpAction on_none(SmtpDelivery&, const ServerReply&) {
    return finish(1);
}

constexpr SmtpCommandRow kRows[] = {
    {SmtpCommand::kNone, "none", nullptr, on_none, false, false},
    {SmtpCommand::kGreeting, "greeting", nullptr, on_greeting, false, false},
    {SmtpCommand::kEhlo, "EHLO", line_ehlo, on_ehlo, false, false},
    {SmtpCommand::kHelo, "HELO", line_helo, on_helo, false, false},
    {SmtpCommand::kStartTls, "STARTTLS", line_starttls, on_starttls, false, false},
    {SmtpCommand::kAuthLogin, "AUTH LOGIN", line_auth_login, on_auth_login, false, false},
    {SmtpCommand::kLoginUser, "AUTH LOGIN user", line_login_user, on_login_user, false, false},
    {SmtpCommand::kLoginPassword, "AUTH LOGIN password", line_login_password, on_login_password, true, false},
    {SmtpCommand::kAuthPlain, "AUTH PLAIN", line_auth_plain, on_auth_plain, false, false},
    {SmtpCommand::kPlainCredentials, "AUTH PLAIN credentials", line_plain_credentials, on_plain_credentials,
     true, false},
    {SmtpCommand::kMailFrom, "MAIL FROM", line_mail_from, on_mail_from, false, false},
    {SmtpCommand::kRcptTo, "RCPT TO", line_rcpt_to, on_rcpt_to, false, false},
    {SmtpCommand::kData, "DATA", line_data, on_data, false, false},
    {SmtpCommand::kMessage, "message", line_message, on_message, false, true},
    {SmtpCommand::kQuit, "QUIT", line_quit, on_quit, false, false},
};
static_assert(sizeof kRows / sizeof kRows[0] == static_cast<size_t>(kSmtpCommandCount),
              "one row per command");

static_assert(rows_in_order(kRows, &SmtpCommandRow::command), "rows in command order");

}  // namespace

const SmtpCommandRow& smtp_command_row(SmtpCommand command) {
    return row_of(kRows, command);
}

}  // namespace orvane
