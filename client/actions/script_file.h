// The script file slot: the one local text file a script reads or writes line by line.
#pragma once

#include <string>
#include <string_view>

#include "common/local_file.h"

namespace orvane {

enum class ScriptFileMode : int { kRead, kWrite, kAppend };

class ScriptFile {
  public:
    // Closes any open file, then opens `path` (normalised, not joined to any folder): read an
    // existing file; write (created or emptied); append (created when missing, the first write
    // goes to the end). 0 on success; 1 with "ERROR: Could not open file %s" and the cause.
    int open(ScriptFileMode mode, std::string_view path);
    void close();
    bool is_open() const { return file_.is_open(); }

    // The next line without its line end (CR, LF, CR LF or LF CR); a line longer than the string
    // variable capacity comes in pieces of that size. 0 when a line (possibly empty) was read; 1 at
    // the end of the file (line empty) or when no file is open.
    int read_line(std::string& line);
    // Writes the text and CR LF unless it already ends with CR or LF. 0 on success; 1 when no
    // file is open or the write fails, with a message.
    int write_line(std::string_view text);

  private:
    LocalFile file_;
};

}  // namespace orvane
