// The script context's settings.
#include "client/script/script_context.h"

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
}

}  // namespace orvane::script
