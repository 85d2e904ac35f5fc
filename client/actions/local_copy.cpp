// Local copy and move: wildcard expansion, destination rules, and the checks that keep a copy from
// landing on itself or inside its own source.
#include "client/actions/local_copy.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "client/actions/local_paths.h"
#include "client/actions/wildcard.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/folder_ops.h"

namespace orvane {
namespace {

struct Words {
    const char* success;
    const char* failure;
};
constexpr Words kCopyWords = {"Successfully copied local item %s to %s",
                              "ERROR: Could not copy local item %s to %s"};
constexpr Words kMoveWords = {"Successfully moved local item %s to %s",
                              "ERROR: Could not move local item %s to %s"};

// A file-name pattern with only "*" and "?" special: the wildcard matcher's other specials are
// taken literally.
std::string name_pattern(std::string_view name) {
    std::string p;
    for (char c : name) {
        if (c == '[' || c == '\\') p += '\\';
        p += c;
    }
    return p;
}

std::string join(const std::string& folder, std::string_view name) {
    return folder == "/" ? "/" + std::string(name) : folder + "/" + std::string(name);
}

// The path with every link of its existing part resolved, so that a link cannot hide where an
// item really is.
std::string real_path(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::weakly_canonical(path, ec);
    return ec ? path : p.string();
}

bool inside(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           (folder == "/" || path[folder.size()] == '/');
}

// One item to its exact target.
int transfer_one(LocalTransfer kind, const std::string& source, const std::string& target,
                 std::string& cause) {
    if (real_path(target) == real_path(source)) {
        cause = "the source and the destination are the same item";
        return 1;
    }
    if (platform::path_is_folder(source) && inside(real_path(target), real_path(source))) {
        cause = "the destination is inside the source folder";
        return 1;
    }
    std::string parent = parent_of(target);
    if (!parent.empty() && platform::make_folders(parent, &cause) != 0) return 1;
    return kind == LocalTransfer::kCopy ? platform::copy_item(source, target, &cause)
                                        : platform::move_item(source, target, &cause);
}

int transfer_matches(LocalTransfer kind, const std::string& source, const std::string& destination,
                     std::string& cause) {
    std::string folder = parent_of(source);
    std::string pattern = name_pattern(last_component(source));
    std::vector<platform::FolderItem> items;
    if (platform::read_folder(folder, items, &cause) != 0) return 1;
    std::vector<std::string> names;
    for (const platform::FolderItem& item : items)
        if (!item.is_folder && wildcard_match(item.name, pattern)) names.push_back(item.name);
    if (names.empty()) {
        cause = "no file matches " + std::string(last_component(source));
        return 1;
    }
    if (platform::make_folders(destination, &cause) != 0) return 1;
    for (const std::string& name : names)
        if (transfer_one(kind, join(folder, name), join(destination, name), cause) != 0) return 1;
    return 0;
}

}  // namespace

int local_transfer(LocalTransfer kind, const std::string& folder, std::string_view from,
                   std::string_view to) {
    const Words& words = kind == LocalTransfer::kCopy ? kCopyWords : kMoveWords;
    std::string source = resolve_local_path(folder, from);
    std::string destination = resolve_local_path(folder, to);
    std::string cause;
    int result;
    if (source == "/" || !local_path_valid(source) || !local_path_valid(destination)) {
        cause = "invalid path";
        result = 1;
    } else if (has_wildcards(last_component(source))) {
        result = transfer_matches(kind, source, destination, cause);
    } else if (!platform::path_exists(source)) {
        cause = "No such file or directory";
        result = 1;
    } else {
        std::string target = destination;
        if (platform::path_is_folder(destination)) target = join(destination, last_component(source));
        result = transfer_one(kind, source, target, cause);
    }
    if (result != 0) {
        output(
            escape_controls(format(words.failure, source.c_str(), destination.c_str()) + " (" + cause + ")"),
            kLevelError);
        return 1;
    }
    output(escape_controls(format(words.success, source.c_str(), destination.c_str())), kLevelInfo);
    return 0;
}

}  // namespace orvane
