// The mail macros: a script's message is built in the context's mail record and delivered by the
// mail engine, whose completion comes back through the run's mail-ready event.
#include "client/actions/mail/mailer.h"
#include "client/script/interpreter.h"
#include "client/script/macro_actions.h"
#include "client/script/run_engines.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"

namespace orvane::script {
namespace {

// The context's mail record, made on first use; null (with the error written) when the mail
// engine cannot be started.
MailRecord* mail_record(MacroCall& call) {
    ScriptContext& c = call.context;
    if (!c.mail && c.engines)
        c.mail = create_mail_record(c.engines->mail, c.session_log, c.session_log_user, c.mail_wake,
                                    c.reply_timeout);
    if (!c.mail) call.interpreter.report(std::string("Could not start the mail engine"));
    return c.mail.get();
}

void mail_done(void* interpreter, int result) {
    Interpreter::request_done(0, interpreter, result);
}

// A local path as the file actions take it: "\" read as "/", relative to the local folder. A
// joined path over the path capacity is kept whole for the message and refused by the caller:
// cut, it would name another file.
std::string local_path(const ScriptContext& c, std::string path) {
    for (char& ch : path)
        if (ch == '\\') ch = '/';
    if (!path.empty() && path[0] == '/') return path;
    std::string base = c.local_folder;
    if (!base.empty() && base.back() != '/') base += '/';
    return base + path;
}

}  // namespace

void action_mailcreate(MacroCall& call) {
    MailRecord* mail = mail_record(call);
    Arguments& a = call.arguments;
    call.interpreter.complete(mail ? mail_create(*mail, a[0].text, a[1].text, a[2].text, a[3].text) : 1);
}

void action_mailattach(MacroCall& call) {
    MailRecord* mail = mail_record(call);
    std::string path = local_path(call.context, call.arguments[0].text);
    if (mail && path.size() > kPathCapacity) {
        output(
            escape_controls(format("ERROR: Could not attach file %s (the path is longer than %zu characters)",
                                   path.c_str(), kPathCapacity)),
            kLevelError);
        call.interpreter.complete(1);
        return;
    }
    call.interpreter.complete(mail ? mail_attach(*mail, path) : 1);
}

void action_mailsend(MacroCall& call) {
    MailRecord* mail = mail_record(call);
    if (!mail) {
        call.interpreter.complete(1);
        return;
    }
    Arguments& a = call.arguments;
    MailServer server;
    server.host = a[0].text;
    server.port = a[1].number;
    server.to_name = a[2].text;
    server.to_address = a[3].text;
    if (a[4].present) server.user = a[4].text;
    if (a[5].present) server.password = a[5].text;
    if (mail_send(*mail, server, MailDone{mail_done, &call.interpreter}) != 0) call.interpreter.complete(1);
}

}  // namespace orvane::script
