// Machine listings: fact names compared without regard to case, every value checked before use,
// and nothing taken from a line that does not end its facts with "; " before the name.
#include "client/transfer/text/machine_listing.h"

#include <algorithm>

#include "client/transfer/text/ftp_text.h"
#include "common/limits.h"
#include "common/text.h"
#include "common/time_text.h"

namespace orvane {

namespace {

enum class MachineType { kFile, kFolder, kLink, kSkipped };

MachineType type_of(std::string_view value) {
    if (iequals(value, "file")) return MachineType::kFile;
    if (iequals(value, "dir")) return MachineType::kFolder;
    // A Unix server names links "OS.unix=slink" or "OS.unix=symlink", with or without ":target".
    constexpr std::string_view kUnix = "os.unix=";
    if (value.size() > kUnix.size() && iequals(value.substr(0, kUnix.size()), kUnix)) {
        std::string_view kind = value.substr(kUnix.size());
        kind = kind.substr(0, kind.find(':'));
        if (iequals(kind, "slink") || iequals(kind, "symlink")) return MachineType::kLink;
    }
    // cdir and pdir are the folder and its parent; devices and the like are no files to move.
    return MachineType::kSkipped;
}

struct Facts {
    MachineType type = MachineType::kFile;  // a line without a type fact names a file
    bool has_size = false;
    uint64_t size = 0;
    std::string_view size_digits;
    bool has_time = false;
    CalendarTime time;
};

// 0 when every fact is "name=value" (the value may be empty); the ones this client uses are read.
int read_facts(std::string_view facts, Facts& out) {
    while (!facts.empty()) {
        size_t end = facts.find(';');
        if (end == std::string_view::npos) return 1;
        std::string_view fact = facts.substr(0, end);
        facts.remove_prefix(end + 1);
        size_t eq = fact.find('=');
        if (eq == std::string_view::npos || eq == 0) return 1;
        std::string_view name = fact.substr(0, eq), value = fact.substr(eq + 1);
        if (iequals(name, "type")) {
            out.type = type_of(value);
        } else if (iequals(name, "size")) {
            out.has_size = parse_decimal_size(value, out.size);
            out.size_digits = out.has_size ? value : std::string_view();
        } else if (iequals(name, "modify")) {
            out.has_time = parse_time_text(value, out.time) == 0 && calendar_valid(out.time);
        }
        // perm, unique, UNIX.mode and the rest change nothing of what is moved.
    }
    return 0;
}

// The entry line of an MLST reply (the line that starts with a space); null when it has none.
const std::string* mlst_entry_line(const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        if (!line.empty() && line[0] == ' ') return &line;
    return nullptr;
}

}  // namespace

int parse_mlsd_line(std::string_view line, RemoteFileEntry& out) {
    size_t space = line.find(' ');
    if (space == std::string_view::npos) return 1;
    std::string_view name = line.substr(space + 1);
    if (name.empty() || name.size() > kPathCapacity) return 1;
    Facts f;
    if (read_facts(line.substr(0, space), f) != 0 || f.type == MachineType::kSkipped) return 1;
    out.name = std::string(name);
    out.type = f.type == MachineType::kFolder ? kEntryFolder
               : f.type == MachineType::kLink ? kEntryLink
                                              : kEntryFile;
    out.exact = 0;
    out.size = 0;
    out.size_text.clear();
    if (f.has_size && out.type == kEntryFile) {
        out.size = f.size;
        out.size_text = std::string(f.size_digits);
        out.exact |= kExactSize;
    }
    out.file_time = 0;
    out.time_text.clear();
    if (f.has_time) {
        out.file_time = filetime_from_calendar(f.time);
        out.time_text = cut(time_text(f.time), RemoteFileEntry::kTimeTextCapacity);
        out.exact |= kExactTime;
    }
    return 0;
}

std::string_view mlsd_fact(std::string_view line, std::string_view name) {
    std::string_view facts = line.substr(0, line.find(' '));
    while (!facts.empty()) {
        std::string_view fact = facts.substr(0, facts.find(';'));
        facts.remove_prefix(std::min(facts.size(), fact.size() + 1));
        size_t eq = fact.find('=');
        if (eq != std::string_view::npos && iequals(fact.substr(0, eq), name)) return fact.substr(eq + 1);
    }
    return {};
}

std::string_view mlst_fact(const std::vector<std::string>& lines, std::string_view name) {
    const std::string* line = mlst_entry_line(lines);
    return line ? mlsd_fact(std::string_view(*line).substr(1), name) : std::string_view();
}

int parse_mlst_reply(const std::vector<std::string>& lines, RemoteFileEntry& out) {
    const std::string* line = mlst_entry_line(lines);
    return line ? parse_mlsd_line(std::string_view(*line).substr(1), out) : 1;
}

}  // namespace orvane
