// The mail records on their run's mail engine, and the chain of a delivery's phases (greet, send,
// quit) run on the requester's thread between the steps.
#include "client/actions/mail/mailer.h"

#include <cassert>
#include <thread>

#include "client/actions/mail/mail_format.h"
#include "client/actions/mail/mail_message.h"
#include "client/transfer/line/line_step.h"
#include "client/transfer/net/transfer_engine.h"
#include "client/transfer/smtp/smtp_client.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "platform/system.h"

namespace orvane {

namespace {

// The port on which servers speak TLS from the first byte (RFC 8314).
constexpr uint32_t kImplicitTlsPort = 465;
// What a mail connection holds of the server's bytes between two wake-ups of its step.
constexpr size_t kMailReceiveQueueLimit = 64 * 1024;

// The delivery's phases, each one posted step; the completion's code names the phase.
enum class MailPhase : int {
    kGreet = 0,  // connect, greeting, EHLO or HELO, STARTTLS, authentication
    kSend,       // MAIL FROM, RCPT TO, DATA, the message
    kQuit,       // QUIT after a delivered message
    kAbandon,    // QUIT after a local failure between the phases
    kCount,
};

}  // namespace

struct MailRecord {
    LogCallback log = nullptr;
    void* log_user = nullptr;
    Notifier notify;
    int timeout_seconds = 120;
    bool trace = false;
    MailMessage message;
    std::string to_name;  // of the running delivery
    EngineOwner* engine_owner = nullptr;
    TransferEngine* engine = nullptr;
    Connection* connection = nullptr;
    SmtpDelivery delivery;
    SmtpEngine smtp{delivery};
    LineLink link;  // the line step's memory of the connection (the step-state context)
    bool busy = false;
    MailDone done;
    std::thread::id requester = std::this_thread::get_id();  // the only thread that uses the record

    ~MailRecord();
};

namespace {

// Paths and addresses in these messages come from scripts: a line break in one must not forge a
// line of the log.
void record_log(const MailRecord& r, int level, const std::string& text) {
    output_to(r.log, r.log_user, escape_controls(text), level);
}

void idle_step(Connection&) {}

void phase_done(int code, void* owner, int result);

// The step of every phase: the greeting connects first, any other command goes over the open
// connection; the line step follows the engine until the phase ends.
void smtp_step(Connection& c) {
    MailRecord& r = *static_cast<MailRecord*>(c.step_state.context);
    if (!(c.flags & kFlagPosted)) {
        line_step_wake(c, r.link);
        return;
    }
    c.timeout_seconds = r.delivery.timeout_seconds;
    c.idle_seconds = 0;
    r.smtp.start(r.delivery.first);
    if (r.smtp.state() == SmtpState::kConnecting) {
        line_step_connect(c, r.link, r.delivery.host, r.delivery.port);
    } else {
        line_step_start(c, r.link);
    }
}

int post_phase(MailRecord& r, MailPhase phase, SmtpCommand first) {
    r.delivery.first = first;
    return post_step(*r.connection, smtp_step, phase_done, static_cast<int>(phase), r.notify, &r);
}

void end_delivery(MailRecord& r, int result) {
    SmtpDelivery& d = r.delivery;
    wipe_secret(d.password);
    d.channel.wipe_output();
    line_step_release(r.link);
    d.message_text.clear();
    d.message_text.shrink_to_fit();
    r.busy = false;
    MailDone done = r.done;
    r.done = MailDone();
    if (done.function) done.function(done.context, result);
}

// Greeted (and logged in): the message text is made now that the local address is known.
void after_greet(MailRecord& r) {
    SmtpDelivery& d = r.delivery;
    time_t now = platform::now_unix();
    MailEnvelope e;
    e.to_name = r.to_name;
    e.to_address = d.recipients.empty() ? std::string() : d.recipients.front();
    if (d.recipients.size() > 1) e.more_addresses.assign(d.recipients.begin() + 1, d.recipients.end());
    e.date = mail_date_text(now);
    e.message_id = mail_message_id(now);
    e.local_address = d.local_address;
    if (e.message_id.empty()) {
        const char* cause = "ERROR: Could not make a Message-ID: the random generator failed";
        record_log(r, kLevelError, cause);
        d.failure.set(FailureKind::kLocal, cause);
        if (post_phase(r, MailPhase::kAbandon, SmtpCommand::kQuit) != 0) end_delivery(r, 1);
        return;
    }
    d.message_text = build_message_text(r.message, e);
    d.eight_bit = has_8bit(d.message_text);
    if (post_phase(r, MailPhase::kSend, SmtpCommand::kMailFrom) != 0) end_delivery(r, 1);
}

void phase_done(int code, void* owner, int result) {
    MailRecord& r = *static_cast<MailRecord*>(owner);
    assert(std::this_thread::get_id() == r.requester);
    switch (static_cast<MailPhase>(code)) {
        case MailPhase::kGreet:
            if (result != 0) {
                end_delivery(r, 1);
            } else {
                after_greet(r);
            }
            return;
        case MailPhase::kSend:
            if (result != 0) {
                end_delivery(r, 1);
            } else if (post_phase(r, MailPhase::kQuit, SmtpCommand::kQuit) != 0) {
                end_delivery(r, 0);  // the message is delivered; only the goodbye is missing
            }
            return;
        case MailPhase::kQuit:
            end_delivery(r, 0);
            return;
        case MailPhase::kAbandon:
        case MailPhase::kCount:
            end_delivery(r, 1);
            return;
    }
    end_delivery(r, 1);
}

// The addresses of a comma-separated list, blanks around each removed; empty when the list or any
// entry of it is empty (an empty address would go out as "RCPT TO:<>", the null sender).
std::vector<std::string> recipient_list(std::string_view text) {
    std::vector<std::string> out;
    for (;;) {
        size_t comma = text.find(',');
        std::string_view one = text.substr(0, comma);
        while (!one.empty() && (one.front() == ' ' || one.front() == '\t')) one.remove_prefix(1);
        while (!one.empty() && (one.back() == ' ' || one.back() == '\t')) one.remove_suffix(1);
        if (one.empty()) return {};
        out.push_back(cut_field(one, kMailNameWidth));
        if (comma == std::string_view::npos) return out;
        text.remove_prefix(comma + 1);
    }
}

}  // namespace

MailRecord::~MailRecord() {
    if (engine) {
        // Closing waits for outstanding I/O of a running step; its completion is dropped.
        if (connection) engine->close_connection(connection);
        connection = nullptr;
        engine_owner->release();
        engine = nullptr;
    }
    wipe_secret(delivery.password);
    line_step_release(link);
}

void MailRecordDelete::operator()(MailRecord* record) const {
    delete record;
}

MailRecordPtr create_mail_record(EngineOwner& engines, LogCallback log, void* log_user, Notifier notify,
                                 int reply_timeout_seconds) {
    MailRecordPtr r(new MailRecord);
    r->log = log;
    r->log_user = log_user;
    r->notify = notify;
    r->timeout_seconds = reply_timeout_seconds > 0 ? reply_timeout_seconds : 120;
    r->delivery.log = log;
    r->delivery.log_user = log_user;
    // The engine may outlive the record that started it: its own messages go to the process
    // sink, each connection's to its record's log.
    r->engine = engines.acquire(nullptr, nullptr);
    if (!r->engine) return nullptr;
    r->engine_owner = &engines;
    // From here on the destructor undoes whatever was done.
    ConnectionSetup setup;
    setup.timeout_seconds = 0;  // each phase sets the reply timeout
    setup.on_receive = line_receive;
    setup.on_send = line_send;
    setup.default_step = idle_step;
    setup.log = log;
    setup.log_user = log_user;
    r->connection = r->engine->open_connection(setup);
    if (!r->connection) return nullptr;
    // Set before any step is posted; the post orders it before the group thread's first look.
    r->link.engine = &r->smtp;
    r->connection->step_state.context = r.get();
    // Replies are short: a server cannot make the connection hold more than a few of them.
    r->connection->step_state.receive_queue.set_limit(kMailReceiveQueueLimit);
    return r;
}

int mail_create(MailRecord& r, const std::string& from_name, const std::string& from_address,
                const std::string& subject, const std::string& body) {
    assert(std::this_thread::get_id() == r.requester);
    std::string error;
    if (fill_message(r.message, from_name, from_address, subject, body, error) != 0) {
        record_log(r, kLevelError, error);
        return 1;
    }
    record_log(r, kLevelInfo, "Successfully created new email message.");
    return 0;
}

int mail_attach(MailRecord& r, const std::string& path) {
    assert(std::this_thread::get_id() == r.requester);
    if (!r.message.created) {
        record_log(r, kLevelError, "ERROR: Could not attach " + path + ": no message was created");
        return 1;
    }
    std::string error;
    if (attach_file(r.message, path, error) != 0) {
        record_log(r, kLevelError, error);
        return 1;
    }
    record_log(r, kLevelInfo, "Successfully attached file " + path);
    return 0;
}

int mail_send(MailRecord& r, const MailServer& server, MailDone done) {
    assert(std::this_thread::get_id() == r.requester);
    if (r.busy) return 1;
    if (!r.message.created) {
        record_log(r, kLevelError, "ERROR: The mail was not sent: no message was created");
        return 2;
    }
    if (!header_value_ok(server.to_name) || !header_value_ok(server.to_address)) {
        record_log(r, kLevelError,
                   "ERROR: The mail's recipient holds a line break; the message was not sent");
        return 2;
    }
    std::vector<std::string> recipients = recipient_list(server.to_address);
    for (const std::string& one : recipients) {
        if (address_ok(one)) continue;
        record_log(r, kLevelError,
                   "ERROR: The mail's recipient address " + escape_controls(one) +
                       " holds a blank, \"<\", \">\" or a control character; the message was not sent");
        return 2;
    }
    if (recipients.empty()) {
        record_log(r, kLevelError,
                   "ERROR: The mail's recipient address is empty (or an empty entry of its list); "
                   "the message was not sent");
        return 2;
    }
    SmtpDelivery& d = r.delivery;
    d.host = cut_field(server.host, kMailServerWidth);
    d.port = server.port;
    d.implicit_tls = server.implicit_tls || server.port == kImplicitTlsPort;
    d.user = cut_field(server.user, kMailServerWidth);
    wipe_secret(d.password);
    // Copied in place: a temporary would leave the password behind on the stack.
    d.password = std::string_view(server.password).substr(0, cut_length(server.password, kMailServerWidth));
    d.from_address = r.message.from_address;
    d.recipients = std::move(recipients);
    r.to_name = cut_field(server.to_name, kMailNameWidth);
    d.message_text.clear();
    d.eight_bit = false;
    d.timeout_seconds = r.timeout_seconds;
    d.trace = r.trace;
    d.plain_login_allowed = platform::get_environment("ORVANE_MAIL_PLAIN_AUTH") == "1";
    d.failure.clear();
    // Made here rather than on the event thread: OpenSSL's set-up of a context is slow.
    r.engine->tls_context();
    r.done = done;
    r.busy = true;
    if (post_phase(r, MailPhase::kGreet, SmtpCommand::kGreeting) != 0) {
        r.busy = false;
        r.done = MailDone();
        wipe_secret(d.password);
        return 1;
    }
    return 0;
}

bool mail_busy(const MailRecord& r) {
    return r.busy;
}

const Failure& mail_failure(const MailRecord& r) {
    return r.delivery.failure;
}

void mail_set_trace(MailRecord& r, bool on) {
    r.trace = on;
}

void pump_mail_completions(EngineOwner& engines) {
    engines.pump();
}

}  // namespace orvane
