// Loading a script: the file, the parse, and the report of every parse error in file order.
#include "client/script/script_load.h"

#include "client/script/script_parser.h"
#include "client/script/script_reader.h"
#include "common/local_file.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "platform/file.h"
#include "platform/system.h"

namespace orvane::script {

int load_script(const std::string& script_path, LoadedScript& script) {
    std::string path = platform::normalize_local_path(script_path);
    LocalFile file(path);
    // A folder opens for reading here but has nothing to read: it is no script file.
    if (platform::path_is_folder(path) || file.open(platform::kOpenRead) != 0) {
        outputf(kLevelError, "Error: Could not open script file %s", escape_controls(script_path).c_str());
        return 1;
    }
    ScriptReader reader(file);
    int count = parse_script(reader, script.symbols, script.program, script.errors);
    if (reader.read_failed()) {
        // What was parsed is only part of the file: running it could do half a job.
        outputf(kLevelError, "Error: Could not open script file %s", escape_controls(script_path).c_str());
        return 1;
    }
    if (count == 0) return 0;
    for (const std::string& message : script.errors.messages()) output(message, kLevelError);
    outputf(kLevelError, "Error: FTP script could not be parsed. %d parse error(s)", count);
    return 1;
}

}  // namespace orvane::script
