// ftpcompress and ftpuncompress: both finish at once, with ftpresult set by their row.
#include "client/script/archive_macros.h"

#include "client/actions/archive_actions.h"
#include "client/script/interpreter.h"

namespace orvane::script {

void action_ftpcompress(MacroCall& call) {
    std::string* variable = call.arguments[1].present ? call.arguments[1].variable : nullptr;
    std::string name;
    int result =
        compress_action(call.context.local_folder, call.arguments[0].text, variable ? &name : nullptr);
    if (variable) assign_variable(*variable, name);
    call.interpreter.complete(result == 0 ? 0 : 1);
}

void action_ftpuncompress(MacroCall& call) {
    int result = uncompress_action(call.context.local_folder, call.arguments[0].text);
    call.interpreter.complete(result == 0 ? 0 : 1);
}

}  // namespace orvane::script
