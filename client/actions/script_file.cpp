// The script file slot over the local file record and its line reader.
#include "client/actions/script_file.h"

#include <cerrno>
#include <cstring>

#include "client/actions/local_paths.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"

namespace orvane {

int ScriptFile::open(ScriptFileMode mode, std::string_view path) {
    close();
    std::string normal = normalize_path_text(path);
    if (path.empty() || normal.empty()) {
        output("ERROR: Could not open file (no file name)", kLevelError);
        return 1;
    }
    file_.set_path(normal);
    int m = mode == ScriptFileMode::kRead    ? platform::kOpenRead
            : mode == ScriptFileMode::kWrite ? platform::kOpenWrite
                                             : platform::kOpenAppend;
    errno = 0;
    if (file_.open(m) != 0) {
        int e = errno != 0 ? errno : EISDIR;  // the record refuses a folder without an errno
        output(
            escape_controls(format("ERROR: Could not open file %s (%s)", normal.c_str(), std::strerror(e))),
            kLevelError);
        return 1;
    }
    return 0;
}

void ScriptFile::close() {
    file_.close();
}

int ScriptFile::read_line(std::string& line) {
    line.clear();
    if (!file_.is_open()) {
        output("ERROR: No file is open for reading", kLevelError);
        return 1;
    }
    return file_.read_line(line, kStringVariableCapacity + 1) > 0 ? 0 : 1;
}

int ScriptFile::write_line(std::string_view text) {
    if (!file_.is_open()) {
        output("ERROR: No file is open for writing", kLevelError);
        return 1;
    }
    if (file_.write_line(std::string(text)) != 0) {
        output(escape_controls(format("ERROR: Could not write to file %s (%s)", file_.path().c_str(),
                                      std::strerror(errno))),
               kLevelError);
        return 1;
    }
    return 0;
}

}  // namespace orvane
