// The local folder actions: path checks, messages, and the folder operations of the platform.
#include "client/actions/local_folder.h"

#include "client/actions/local_paths.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "common/time_text.h"
#include "platform/folder_ops.h"

namespace orvane {
namespace {

// A failure message with its cause after it.
int report_failure(const std::string& message, const std::string& cause) {
    output(escape_controls(cause.empty() ? message : message + " (" + cause + ")"), kLevelError);
    return 1;
}

void report(const std::string& message) {
    output(escape_controls(message), kLevelInfo);
}

}  // namespace

int local_set_path(std::string& folder, std::string_view path) {
    std::string resolved = resolve_local_path(folder, path);
    if (!local_path_valid(resolved))
        return report_failure(format("ERROR: The local path %s appears to be invalid", resolved.c_str()), "");
    std::vector<platform::FolderItem> items;
    std::string cause;
    if (platform::read_folder(resolved, items, &cause) != 0)
        return report_failure(format("ERROR: Could not set local path to %s", resolved.c_str()), cause);
    folder = resolved;
    report(format("Local  path: %s", resolved.c_str()));
    return 0;
}

int local_get_list(const std::string& folder, std::vector<LocalEntry>& entries) {
    std::vector<platform::FolderItem> items;
    std::string cause;
    if (platform::read_folder(folder, items, &cause) != 0)
        return report_failure("ERROR: Could not obtain local folder listing", cause);
    for (const platform::FolderItem& item : items) {
        LocalEntry e;
        e.name = cut(item.name, kPathCapacity);
        e.is_folder = item.is_folder;
        e.size = item.is_folder ? std::string() : std::to_string(item.size);
        e.modification_time = time_text(calendar_from_filetime(item.last_write_time));
        entries.push_back(std::move(e));
    }
    report("Successfully obtained local folder listing");
    return 0;
}

int local_make_folder(const std::string& folder, std::string_view path) {
    std::string resolved = resolve_local_path(folder, path);
    if (!local_path_valid(resolved)) return report_failure("Specified local path is invalid", "");
    std::string cause;
    if (platform::make_folders(resolved, &cause) != 0)
        return report_failure(format("ERROR: Could not create local folder %s", resolved.c_str()), cause);
    report(format("Created local folder %s", resolved.c_str()));
    return 0;
}

int local_delete(const std::string& folder, bool is_folder, std::string_view path) {
    std::string resolved = resolve_local_path(folder, path);
    // The root is never deleted, whatever path led to it.
    if (!local_path_valid(resolved) || resolved == "/")
        return report_failure("Specified local path is invalid", "");
    std::string cause;
    if (platform::delete_item(resolved, is_folder, &cause) != 0)
        return report_failure(format("ERROR: Could not delete %s", resolved.c_str()), cause);
    report(format("Deleted %s", resolved.c_str()));
    return 0;
}

int local_rename(const std::string& folder, std::string_view from, std::string_view to) {
    std::string source = resolve_local_path(folder, from);
    std::string target = resolve_local_path(folder, to);
    std::string cause;
    if (platform::rename_item(source, target, &cause) != 0)
        return report_failure(
            format("ERROR: Could not rename local item %s to %s", source.c_str(), target.c_str()), cause);
    report(format("Successfully renamed local item %s to %s", source.c_str(), target.c_str()));
    return 0;
}

}  // namespace orvane
