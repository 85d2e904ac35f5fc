// The mail engine that scripts drive: one mail record per script context, and the three actions
// `mailcreate`, `mailattach` and `mailsend`. Deliveries run on an engine of their own (independent
// of the transfer engine of the FTP and SFTP sessions) and report back on the requester's thread.
//
// How a script engine uses it:
//   1. At start-up of the script context, on its thread, with the run's mail engine:
//        MailRecordPtr mail = create_mail_record(mail_engine, log, log_user, notifier,
//        reply_timeout_seconds);
//      `notifier` sets the script's "mail-ready" event (any thread may call it); `log` is the script's
//      output (null: the process output sink); the timeout is the session timeout (default 120 s).
//   2. `mailcreate`(from name, from address, subject, body):
//        r = mail_create(*mail, from_name, from_address, subject, body);  // 0 or 1, message written
//      and complete the statement with r at once (register mailresult).
//   3. `mailattach`(path) (path already resolved against the script's local folder):
//        r = mail_attach(*mail, path);  // 0 or 1, message written; complete at once with r
//   4. `mailsend`(server, port, to name, to address [, user, password]):
//        MailServer s{server, port, to_name, to_address, user, password};  // four parameters: no user
//        r = mail_send(*mail, s, MailDone{on_mail_done, context});
//      r == 0: the delivery runs; the statement completes when on_mail_done(context, result) runs.
//      r != 0: nothing was started (1 busy, 2 refused, message written): complete at once with 1.
//   5. The script's event loop waits on the "mail-ready" event too; when it is set, reset it and call
//      pump_mail_completions(mail_engine): the done callback runs there, exactly once per started delivery,
//      with 0 for a delivered message and 1 for a failure.
//   Destroying the record (on the same thread) closes its connection; a delivery still running then
//   is abandoned and its done callback never runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "client/transfer/net/connection.h"
#include "client/transfer/net/engine_owner.h"
#include "common/failure.h"
#include "common/secret.h"

namespace orvane {

// The server and recipient of one `mailsend`. The password is wiped when the record goes.
struct MailServer {
    std::string host;
    uint32_t port = 25;  // 465: TLS from the first byte; otherwise STARTTLS when announced
    std::string to_name;
    std::string to_address;
    std::string user;  // empty: no authentication
    std::string password;
    bool implicit_tls = false;  // TLS from the first byte on any port

    ~MailServer() { wipe_secret(password); }
};

// Runs once on the requester's thread, from pump_mail_completions(), when a delivery ends.
struct MailDone {
    void (*function)(void* context, int result) = nullptr;
    void* context = nullptr;
};

struct MailRecord;
struct MailRecordDelete {
    void operator()(MailRecord* record) const;
};
using MailRecordPtr = std::unique_ptr<MailRecord, MailRecordDelete>;

// A mail record with an empty message on the engine of `engines` (which outlives it): the first
// record starts the engine, the last one to go stops it. Null when the engine or the connection
// cannot be made.
MailRecordPtr create_mail_record(EngineOwner& engines, LogCallback log, void* log_user, Notifier notify,
                                 int reply_timeout_seconds = 120);

// A new message (attachments are dropped). Values longer than their fields are cut; a line break in
// the from name, from address or subject refuses the whole statement. Writes "Successfully created
// new email message." on success. 0 on success, 1 when refused (the error written).
int mail_create(MailRecord& record, const std::string& from_name, const std::string& from_address,
                const std::string& subject, const std::string& body);
// Attaches a local file to the message: it is read now. 0 on success, 1 with an error naming the
// file when it cannot be read or the attachments would pass kMailAttachmentLimit.
int mail_attach(MailRecord& record, const std::string& path);
// Starts delivering the current message. 0 when started (`done` will run); 1 while a delivery is
// in progress; 2 when a value is refused (a line break in the recipient's name or address), with
// the error written. The message stays in the record and may be sent again.
int mail_send(MailRecord& record, const MailServer& server, MailDone done);
// True from a started mail_send until its done callback has run.
bool mail_busy(const MailRecord& record);
// Why the last delivery failed (kind and cause); no kind after a delivered message. Read it in or
// after the done callback.
const Failure& mail_failure(const MailRecord& record);
// Traces every state change of the delivery's step machine to the log (for diagnosis).
void mail_set_trace(MailRecord& record, bool on);

// Runs the done callbacks of ended deliveries and the steps between a delivery's phases: call on
// the requester's thread whenever the notifier has fired.
void pump_mail_completions(EngineOwner& engines);

}  // namespace orvane
