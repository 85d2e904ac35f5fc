// Machine listings (MLSD lines, the entry line of an MLST reply): facts, then one space, then the name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "client/transfer/session/remote_file_entry.h"

namespace orvane {

// One line "fact=value;fact=value; name". 0 when it names an entry of the folder (its name, type,
// size and time set, with the exact bits for the facts that were given whole), 1 otherwise: a
// malformed line, the folder itself or its parent (type cdir or pdir), a type that is neither
// file, folder nor link, or a name longer than the path capacity.
int parse_mlsd_line(std::string_view line, RemoteFileEntry& out);

// The value of one fact of such a line (its name compared without regard to case); empty when the
// line has none.
std::string_view mlsd_fact(std::string_view line, std::string_view name);

// The value of one fact of an MLST reply's entry line (the line that starts with a space); empty
// when there is none.
std::string_view mlst_fact(const std::vector<std::string>& lines, std::string_view name);

// The entry line of an MLST reply: the line of the reply that starts with a space. 0 when found
// and read as by parse_mlsd_line.
int parse_mlst_reply(const std::vector<std::string>& lines, RemoteFileEntry& out);

}  // namespace orvane
