// The script context's settings.
#include "client/script/script_context.h"

#include "client/script/run_engines.h"
#include "common/secret.h"

namespace orvane::script {

ScriptSettings::~ScriptSettings() {
    wipe_secret(proxy_password);
    wipe_secret(pass_phrase);
    wipe_secret(certificate_password);
}

TransferType session_transfer_type(int script_type) {
    switch (script_type) {
        case kScriptAscii:
            return kTransferAscii;
        case kScriptBinary:
            return kTransferBinary;
        default:
            return kTransferUnset;
    }
}

void apply_settings(const ScriptSettings& settings, Session& session) {
    session.passive = settings.passive;
    session.listing_kind = settings.nlst;
    session.transfer_type = session_transfer_type(settings.transfer_type);
    session.upload_rules = settings.upload_rules;
    session.download_rules = settings.download_rules;
    session.rename_suffix = settings.rename_suffix;
    session.parallel = settings.parallel;
}

int replace_session(ScriptContext& context, int protocol) {
    // The new session is made before the old one goes: a connect statement runs inside the
    // completion pump of the old session's engine, which must outlive the pump (its last user to
    // go stops and frees the engine). When none can be made, the old one stays.
    if (!context.engines) return 1;
    RunEngines& engines = *context.engines;
    std::unique_ptr<Session> fresh =
        create_session(engines.transfer, engines.requests, context.session_log_user, context.session_log,
                       context.transfer_wake, protocol, context.reply_timeout);
    if (!fresh) return 1;
    context.session = std::move(fresh);
    Session& s = *context.session;
    const ScriptSettings& settings = context.settings;
    engines.prepare_session(s);
    s.local_folder = context.local_folder;
    apply_settings(settings, s);
    s.proxy_enabled = settings.proxy_enabled;
    s.proxy_host = settings.proxy_host;
    s.proxy_port = settings.proxy_port;
    s.proxy_user = settings.proxy_user;
    s.proxy_password = settings.proxy_password;
    s.key_file = settings.key_file;
    s.pass_phrase = settings.pass_phrase;
    return 0;
}

}  // namespace orvane::script
