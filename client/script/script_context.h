// The script context: what a script's actions run on. Its settings apply to every transfer session
// that a connect macro creates; its transfer session carries the completions of the statements.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "client/actions/mail/mailer.h"
#include "client/actions/script_file.h"
#include "client/transfer/session/session.h"

namespace orvane {
struct RunEngines;
}

namespace orvane::script {

class Interpreter;
struct UserList;

// The script's transfer types (settransfertype).
enum ScriptTransferType : int {
    kScriptAscii = 101,
    kScriptBinary = 102,
    kScriptAutomatic = 103,
};

// How sessions made by the script work. The command line's nopasv and nonlst do not apply.
struct ScriptSettings {
    int passive = 1;
    int nlst = 0;
    int transfer_type = kScriptAutomatic;
    DuplicateRules upload_rules;  // by size, overwrite in all three cases
    DuplicateRules download_rules;
    std::string rename_suffix = ".fbak";
    int parallel = 1;  // files a folder transfer may move at once (setparallel, -parallel)

    // HTTP CONNECT proxy (proxyhttp).
    int proxy_enabled = 0;
    std::string proxy_host;
    uint32_t proxy_port = 80;
    std::string proxy_user;
    std::string proxy_password;

    // Private key for SFTP publickey authentication (pkeyload); read only when it is used.
    std::string key_file;
    std::string pass_phrase;

    // Client certificate for TLS (certload).
    std::string certificate_file;
    std::string certificate_key_file;
    std::string certificate_password;

    ScriptSettings() = default;
    ScriptSettings(const ScriptSettings&) = delete;
    ScriptSettings& operator=(const ScriptSettings&) = delete;
    ~ScriptSettings();  // the secrets are wiped
};

// The session's transfer type for a script transfer type (automatic leaves it to the session).
TransferType session_transfer_type(int script_type);

// Applies the settings that also change the current session (passive, NLST, transfer type,
// duplicate rules and rename suffix) to `session`.
void apply_settings(const ScriptSettings& settings, Session& session);

// What a transfer statement carries from one of its requests to the next (the step that comes
// next travels as the request's caller code): the interpreter its completion goes to, and where a
// result is to be stored.
struct TransferStatement {
    Interpreter* interpreter = nullptr;
    int first_result = 0;             // the transfer's own result while the folder is restored
    UserList* list = nullptr;         // ftpgetlist
    std::string* variable = nullptr;  // ftpmodtime
    uint8_t* variable_marks = nullptr;
};

struct ScriptContext {
    ScriptSettings settings;
    std::string local_folder;          // at most kPathCapacity characters
    std::string remote_folder = "/";   // the remembered remote folder
    bool remote_folder_known = false;  // the connect could read the server's folder
    ScriptFile file;                   // the script file slot (fileopen and its kin)
    // False for runs that must not change the machine (the fuzz target's): the macros that write
    // local files, start programs, wait or ask the console complete with 1 and do nothing.
    bool local_effects = true;

    // The run's engines and request handlers (they outlive the context); null in a run with the
    // engines stubbed out, which makes no session and sends no mail.
    RunEngines* engines = nullptr;
    // The script's transfer session. Statements that finish at once complete through its Finish
    // with result request. Without one (a run with the transfer engine stubbed out), the
    // interpreter delivers those completions itself.
    std::unique_ptr<Session> session;
    // Wake-up callbacks for the engines' threads: they only set the run's events.
    Notifier transfer_wake;
    Notifier mail_wake;
    // Where the sessions' messages go (null: the output sink).
    LogCallback session_log = nullptr;
    void* session_log_user = nullptr;
    // Seconds a server may stay silent before a request fails (0: no limit).
    int reply_timeout = 120;
    // The message of the mail macros, made on first use.
    MailRecordPtr mail;
    // The transfer statement under way, between the requests it is made of (transfer_macros.cpp).
    TransferStatement transfer;
};

// Replaces the context's transfer session by a new one of `protocol` (made before the old one is
// destroyed, so the engine lives on): made with the context's wake-up callback, log and reply
// timeout, in the script's local folder, with every setting of the script (passive, NLST, transfer
// type, duplicate rules, rename suffix, proxy, private key). 0 on success; 1 when it cannot be
// made, and the old session stays then.
int replace_session(ScriptContext& context, int protocol);

}  // namespace orvane::script
