// The settings macros: they change the script context, which every session made by a connect
// macro starts from, and the current transfer session where the setting belongs to it.
#include "client/script/interpreter.h"
#include "client/script/macro_actions.h"
#include "client/script/script_keywords.h"
#include "client/transfer/session/parallel_transfers.h"
#include "common/secret.h"
#include "common/text.h"

namespace orvane::script {
namespace {

void apply_to_session(MacroCall& call) {
    if (call.context.session) apply_settings(call.context.settings, *call.context.session);
}

void finish_setting(MacroCall& call) {
    apply_to_session(call);
    call.interpreter.complete(0);
}

DuplicateAction rule_of(int keyword) {
    switch (keyword) {
        case kKwSkip:
            return kDuplicateSkip;
        case kKwResume:
            return kDuplicateResume;
        case kKwRename:
            return kDuplicateRename;
        default:
            return kDuplicateOverwrite;
    }
}

// Replaces a secret setting, wiping the old text first.
void set_secret(std::string& setting, const std::string& value) {
    wipe_secret(setting);
    setting = value;
}

}  // namespace

void action_enablepasv(MacroCall& call) {
    call.context.settings.passive = 1;
    finish_setting(call);
}

void action_disablepasv(MacroCall& call) {
    call.context.settings.passive = 0;
    finish_setting(call);
}

void action_setnlst(MacroCall& call) {
    call.context.settings.nlst = 1;
    finish_setting(call);
}

void action_unsetnlst(MacroCall& call) {
    call.context.settings.nlst = 0;
    finish_setting(call);
}

void action_settransfertype(MacroCall& call) {
    int keyword = call.arguments[0].keyword;
    call.context.settings.transfer_type = keyword == kKwAscii    ? kScriptAscii
                                          : keyword == kKwBinary ? kScriptBinary
                                                                 : kScriptAutomatic;
    finish_setting(call);
}

// setparallel N: how many files a folder transfer may move at once, each over a session of its own.
void action_setparallel(MacroCall& call) {
    uint32_t n = call.arguments[0].number;
    if (!parallel_count_allowed(n)) {
        call.interpreter.report(
            format("The number of parallel sessions must be 1 to %d, not %u", kMaxParallelSessions, n));
        call.interpreter.complete(1);
        return;
    }
    call.context.settings.parallel = static_cast<int>(n);
    finish_setting(call);
}

void action_setduperules(MacroCall& call) {
    Arguments& a = call.arguments;
    DuplicateRules rules;
    rules.compare = a[0].keyword == kKwBysize ? kCompareBySize : kCompareByDate;
    rules.smaller = rule_of(a[1].keyword);
    rules.equal = rule_of(a[2].keyword);
    rules.larger = rule_of(a[3].keyword);
    ScriptSettings& settings = call.context.settings;
    settings.upload_rules = rules;
    settings.download_rules = rules;
    settings.rename_suffix = a[4].text.empty() ? ".fbak" : a[4].text;
    finish_setting(call);
}

void action_pkeyload(MacroCall& call) {
    ScriptSettings& settings = call.context.settings;
    settings.key_file = call.arguments[0].text;
    set_secret(settings.pass_phrase, call.arguments[1].text);
    call.interpreter.complete(0);
}

void action_certload(MacroCall& call) {
    ScriptSettings& settings = call.context.settings;
    settings.certificate_file = call.arguments[0].text;
    settings.certificate_key_file = call.arguments[1].text;
    set_secret(settings.certificate_password, call.arguments[2].text);
    call.interpreter.complete(0);
}

void action_proxyhttp(MacroCall& call) {
    ScriptSettings& settings = call.context.settings;
    settings.proxy_enabled = 1;
    settings.proxy_host = call.arguments[0].text;
    settings.proxy_port = call.arguments[1].number;
    settings.proxy_user = call.arguments[2].text;
    set_secret(settings.proxy_password, call.arguments[3].text);
    call.interpreter.complete(0);
}

}  // namespace orvane::script
