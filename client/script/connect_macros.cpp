// The macros of a script's connection: the four connect macros (a new session of their protocol
// with every script setting, connect and login, then the server's folder), ftpdisconnect and
// ftpcustomcmd.
#include "client/script/interpreter.h"
#include "client/script/macro_actions.h"
#include "client/script/run_engines.h"
#include "client/script/transfer_steps.h"
#include "client/transfer/session/requests.h"
#include "client/transfer/tls/tls_client_certificate.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"

namespace orvane::script {
namespace {

void fail(MacroCall& call, const std::string& text) {
    call.interpreter.report(text);
    call.interpreter.complete(1);
}

// Host, port, user, password and account as the session can hold them; each is sent as given.
bool credentials_usable(MacroCall& call) {
    Arguments& a = call.arguments;
    for (size_t i : {0, 2, 3, 4}) {
        if (!sendable(call, a[i].text)) return false;
        // A value cut to fit would log in as someone else, or with a wrong password.
        if (a[i].text.size() > kCredentialCapacity) {
            fail(call,
                 format("The host, user name, password and account may each hold at most %zu characters",
                        kCredentialCapacity));
            return false;
        }
    }
    if (a[0].text.empty()) {
        fail(call, "The host name is empty");
        return false;
    }
    if (a[1].number < 1 || a[1].number > 65535) {
        fail(call, format("Invalid port %u (1 to 65535)", a[1].number));
        return false;
    }
    return true;
}

bool is_tls_kind(int protocol) {
    return protocol == kProtocolFtpsProtected || protocol == kProtocolFtpsClear;
}

int load_certificate(RunEngines& engines, const ScriptSettings& settings) {
    ClientCertificate certificate;
    certificate.certificate_file = settings.certificate_file;
    certificate.key_file = settings.certificate_key_file;
    certificate.password = settings.certificate_password;
    return set_client_certificate(engines.transfer, certificate);
}

void connect_with(MacroCall& call, int protocol) {
    if (!credentials_usable(call)) return;
    ScriptContext& cx = call.context;
    // A run without a session has its transfer engine stubbed out: it never makes one.
    if (!statement_session(call)) return;
    if (replace_session(cx, protocol) != 0) {
        output("Error: Could not start the transfer engine for the script", kLevelError);
        call.interpreter.complete(1);
        return;
    }
    Session& s = *cx.session;
    Arguments& a = call.arguments;
    s.account = a[4].text;
    cx.remote_folder_known = false;  // known again once this server has told it
    // The certificate of certload: loaded for the run's transfer engine, presented by every TLS
    // connection it makes.
    const ScriptSettings& settings = cx.settings;
    if (is_tls_kind(protocol) && !settings.certificate_file.empty() &&
        load_certificate(*cx.engines, settings) != 0) {
        output(escape_controls(format("ERROR: Could not load the client certificate %s",
                                      settings.certificate_file.c_str())),
               kLevelError);
        call.interpreter.complete(1);
        return;
    }
    start_request(call, request_connect(s, a[0].text, a[3].text, a[2].text, a[1].number, ReplyHook{},
                                        transfer_step_done, step_code(TransferStep::kConnected),
                                        statement_object(call)));
}

}  // namespace

void action_ftpconnect(MacroCall& call) {
    connect_with(call, kProtocolFtp);
}

void action_ftpconnectssh(MacroCall& call) {
    connect_with(call, kProtocolSftp);
}

void action_ftpconnectssl(MacroCall& call) {
    connect_with(call, kProtocolFtpsProtected);
}

void action_ftpconnectsslc(MacroCall& call) {
    connect_with(call, kProtocolFtpsClear);
}

void action_ftpdisconnect(MacroCall& call) {
    Session* s = statement_session(call);
    if (!s) return;
    start_request(call, request_disconnect(*s, transfer_step_done, step_code(TransferStep::kFinish),
                                           statement_object(call)));
}

// The text goes to the server as one command line; the reply is shown, and 1xx to 3xx succeed.
void action_ftpcustomcmd(MacroCall& call) {
    Session* s = statement_session(call);
    if (!s) return;
    const std::string& command = call.arguments[0].text;
    if (!sendable(call, command)) return;
    if (command.empty() || command.size() > kLineCapacity) {
        fail(call, format("A command sent to a server holds 1 to %zu characters", kLineCapacity));
        return;
    }
    if (s->protocol == kProtocolSftp) {
        output("ERROR: Raw commands are an FTP feature: an SFTP session cannot send them", kLevelError);
        call.interpreter.complete(1);
        return;
    }
    start_request(call, request_custom_command(*s, command, transfer_step_done,
                                               step_code(TransferStep::kFinish), statement_object(call)));
}

}  // namespace orvane::script
