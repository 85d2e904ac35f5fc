// ftpcompress and ftpuncompress: both finish at once, with ftpresult set by their row.
#include "client/script/archive_macros.h"

#include "client/actions/archive_actions.h"
#include "client/script/interpreter.h"

namespace orvane::script {

void action_ftpcompress(MacroCall& call) {
    bool named = call.arguments[1].present && call.arguments[1].variable;
    std::string name;
    int result = compress_action(call.context.local_folder, call.arguments[0].text, named ? &name : nullptr);
    // The archive's name is this side's own: it carries none of the marks the variable held before.
    if (named) assign_to(call.arguments[1], name);
    call.interpreter.complete(result == 0 ? 0 : 1);
}

void action_ftpuncompress(MacroCall& call) {
    int result = uncompress_action(call.context.local_folder, call.arguments[0].text);
    call.interpreter.complete(result == 0 ? 0 : 1);
}

}  // namespace orvane::script
