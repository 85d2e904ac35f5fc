// Exporting the schedule: the task loop, whole-or-nothing files per task, and the shared naming.
#include "scheduler/export.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <set>
#include <vector>

#include "common/log.h"
#include "common/safe_name.h"
#include "common/secret.h"
#include "common/text.h"
#include "common/version.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/file_replace.h"
#include "platform/folder_ops.h"
#include "platform/system.h"
#include "scheduler/export_files.h"
#include "scheduler/schedule_file.h"
#include "scheduler/scheduler.h"
#include "scheduler/service.h"

namespace orvane::sched {

namespace {

using Writer = int (*)(const Task&, const ExportContext&, std::vector<ExportFile>&, std::string&);

struct ExportKind {
    const char* name;
    Writer write;
    const char* extensions[2];  // of the files it writes; an unused place is empty
};

const ExportKind kKinds[] = {
    {"systemd", systemd_files, {".service", ".timer"}},
    {"kubernetes", kubernetes_files, {".yaml", ""}},
};

// Warnings and errors to stderr, so a script can keep the list of written files apart.
void export_sink(void*, const char* text, int level, int line_end) {
    std::string s(text ? text : "");
    if (line_end == 1) s += '\n';
    if (level == kLevelWarning || level == kLevelError)
        platform::console_write_error(s.data(), s.size());
    else
        platform::console_write(s.data(), s.size());
}

bool zone_name(const std::string& z) {
    if (z.empty() || z.size() > 64 || z[0] == '/' || z.find("..") != std::string::npos) return false;
    for (char c : z)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '_' || c == '-' || c == '+'))
            return false;
    return true;
}

// The zone the schedule's local times are in, as the IANA name a CronJob takes: TZ, else
// /etc/timezone, else the target of /etc/localtime.
std::string machine_time_zone() {
    bool set = false;
    std::string tz = platform::get_environment("TZ", &set);
    if (!tz.empty() && tz[0] == ':') tz.erase(0, 1);
    size_t zi = tz.find("zoneinfo/");
    if (zi != std::string::npos) tz.erase(0, zi + 9);
    if (set) return zone_name(tz) ? tz : std::string();
    char buf[256];
    platform::FileHandle h = platform::file_open("/etc/timezone", platform::kOpenRead);
    if (h != platform::kInvalidFile) {
        int64_t n = platform::file_read(h, buf, sizeof buf - 1);
        platform::file_close(h);
        std::string line(buf, n > 0 ? static_cast<size_t>(n) : 0);
        line = line.substr(0, line.find('\n'));
        if (zone_name(line)) return line;
    }
    ssize_t n = ::readlink("/etc/localtime", buf, sizeof buf - 1);
    std::string link(buf, n > 0 ? static_cast<size_t>(n) : 0);
    zi = link.find("zoneinfo/");
    if (zi != std::string::npos && zone_name(link.substr(zi + 9))) return link.substr(zi + 9);
    return std::string();
}

// Writes the task's files; on a failure removes those already written, so a task is all or nothing.
int write_files(const std::string& folder, std::vector<ExportFile>& files, std::string& reason) {
    size_t written = 0;
    for (; written < files.size(); ++written) {
        std::string error;
        if (platform::replace_file(folder + files[written].name, files[written].content, &error) != 0) {
            reason = "its file could not be written: " + error;
            break;
        }
    }
    if (written < files.size())
        for (size_t i = 0; i < written; ++i) ::unlink((folder + files[i].name).c_str());
    for (ExportFile& f : files) wipe_secret(f.content);  // a manifest may hold a script's passwords
    return written < files.size() ? 1 : 0;
}

// True for a name an export of this kind writes: "orvane-task-", the task's number, then "-" and
// more or nothing, and one of the kind's extensions.
bool export_file_name(const ExportKind& kind, const std::string& name) {
    const std::string prefix = "orvane-task-";
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    size_t digits = prefix.size();
    while (digits < name.size() && std::isdigit(static_cast<unsigned char>(name[digits]))) ++digits;
    if (digits == prefix.size()) return false;
    for (const char* extension : kind.extensions) {
        std::string ext = extension;
        if (ext.empty() || name.size() < digits + ext.size() ||
            name.compare(name.size() - ext.size(), ext.size(), ext) != 0)
            continue;
        if (name.size() == digits + ext.size() || name[digits] == '-') return true;
    }
    return false;
}

// Removes the files an earlier export of this kind left in the folder that this one did not write:
// a task since removed, moved to another place, or now refused would otherwise go on running on
// its old schedule wherever the folder is installed. 0, or the number that could not be removed.
int remove_stale_files(const ExportKind& kind, const std::string& folder,
                       const std::set<std::string>& written) {
    std::vector<platform::FolderItem> items;
    if (platform::read_folder(folder, items) != 0) return 0;
    int kept = 0;
    for (const platform::FolderItem& item : items) {
        if (item.is_folder || written.count(item.name) != 0 || !export_file_name(kind, item.name)) continue;
        std::string path = folder + item.name;
        if (::unlink(path.c_str()) == 0) {
            output("Removed " + escape_controls(path) + ": it is not in this export", kLevelWarning);
        } else {
            output("ERROR: " + escape_controls(path) +
                       " is not in this export and could not be removed: " + platform::last_error_text(),
                   kLevelError);
            ++kept;
        }
    }
    return kept;
}

std::string absolute_folder(std::string folder) {
    if (folder.empty() || folder[0] != '/') folder = platform::current_folder() + "/" + folder;
    if (folder.back() != '/') folder += '/';
    return folder;
}

}  // namespace

std::string task_name(const Task& task, size_t index) {
    std::string program = platform::normalize_local_path(task.launch.program);
    std::string base = program.substr(program.rfind('/') + 1);
    std::string slug;
    for (char c : base) {
        bool keep = std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80;
        if (keep)
            slug += ascii_lower(c);
        else if (!slug.empty() && slug.back() != '-')
            slug += '-';
    }
    std::string name = format("orvane-task-%zu", index);
    if (!slug.empty()) name += "-" + slug;
    name = name.substr(0, 52);
    while (name.back() == '-') name.pop_back();
    return name;
}

std::string task_path(const std::string& path, const std::string& folder) {
    std::string p = platform::normalize_local_path(path);
    return !p.empty() && p[0] == '/' ? p : folder + p;
}

int export_schedule(const std::string& kind, const std::string& folder) {
    const ExportKind* chosen = nullptr;
    for (const ExportKind& k : kKinds)
        if (kind == k.name) chosen = &k;
    if (chosen == nullptr) {
        output("ERROR: Unknown export kind " + escape_controls(kind) + " (use systemd or kubernetes)",
               kLevelError);
        return 1;
    }
    ExportContext context;
    context.folder = absolute_folder(schedule_folder());
    context.now = schedule_now();
    bool set = false;
    context.image = platform::get_environment("ORVANE_IMAGE", &set);
    if (!set || context.image.empty()) context.image = std::string("orvaneftp:") + release_version();
    context.time_zone = machine_time_zone();

    std::vector<Task> tasks;
    std::string schedule = context.folder + kScheduleFileName;
    if (read_schedule(schedule, tasks) != 0) {
        output("ERROR: The schedule " + escape_controls(schedule) +
                   " could not be read: " + platform::last_error_text(),
               kLevelError);
        return 1;
    }
    std::string target = absolute_folder(folder), error;
    if (!platform::path_is_folder(target) && platform::make_folders(target, &error) != 0) {
        output("ERROR: The folder " + escape_controls(target) + " could not be made: " + error, kLevelError);
        return 1;
    }
    int refused = 0;
    std::set<std::string> written;
    for (size_t i = 0; i < tasks.size(); ++i) {
        context.index = i + 1;
        std::vector<ExportFile> files;
        std::string reason;
        if (chosen->write(tasks[i], context, files, reason) != 0 || write_files(target, files, reason) != 0) {
            output(
                format("ERROR: Task %zu (%s) is not exported: %s", i + 1,
                       escape_controls(task_name(tasks[i], i + 1)).c_str(), escape_controls(reason).c_str()),
                kLevelError);
            ++refused;
            continue;
        }
        for (const ExportFile& f : files) {
            written.insert(f.name);
            output(escape_controls(target + f.name), kLevelInfo);
        }
    }
    int kept = remove_stale_files(*chosen, target, written);
    output(format("%zu of %zu tasks exported for %s to %s", tasks.size() - refused, tasks.size(),
                  chosen->name, escape_controls(target).c_str()),
           refused ? kLevelWarning : kLevelInfo);
    return refused || kept ? 1 : 0;
}

int export_main(int argc, char** argv) {
    set_output_sink(export_sink, nullptr);
    if (argc != 4) {
        output("ERROR: Usage: orvanesched -export systemd|kubernetes FOLDER", kLevelError);
        return 1;
    }
    return export_schedule(argv[2], argv[3]);
}

}  // namespace orvane::sched
