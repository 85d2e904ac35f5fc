// The macros with a remote and a local form: the keyword picks the form. The local forms are the
// local actions' (not in this build yet: they fail with their macro's name).
#include "client/script/macro_actions.h"
#include "client/script/script_keywords.h"

namespace orvane::script {
namespace {

bool is_local(MacroCall& call) {
    return call.arguments[0].keyword == kKwLocal;
}

}  // namespace

void action_ftpgetlist(MacroCall& call) {
    is_local(call) ? action_not_available(call) : remote_ftpgetlist(call);
}

void action_ftpsetpath(MacroCall& call) {
    is_local(call) ? action_not_available(call) : remote_ftpsetpath(call);
}

void action_ftpmakefolder(MacroCall& call) {
    is_local(call) ? action_not_available(call) : remote_ftpmakefolder(call);
}

void action_ftpdelete(MacroCall& call) {
    is_local(call) ? action_not_available(call) : remote_ftpdelete(call);
}

void action_ftprename(MacroCall& call) {
    is_local(call) ? action_not_available(call) : remote_ftprename(call);
}

}  // namespace orvane::script
