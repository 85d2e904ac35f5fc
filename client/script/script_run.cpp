// Script runs: load, parse and run a script file.
#include "client/script/script_run.h"

#include "client/script/script_load.h"
#include "common/log.h"

namespace orvane {

int run_script_mode(const std::string& script_path) {
    script::LoadedScript script;
    if (int code = script::load_script(script_path, script); code != 0) return code;
    output("Error: running scripts is not available yet", kLevelError);
    return 1;
}

}  // namespace orvane
