// Archive actions: local path, format choice, messages.
#include "client/actions/archive_actions.h"

#include "client/actions/archive_reader.h"
#include "client/actions/extract_target.h"
#include "client/actions/zip_writer.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"

namespace orvane {
namespace {

// The path made absolute against `folder`, "\\" read as "/", empty and "." components dropped and
// ".." taking away the component before it (at the root it stays the root).
std::string local_path(std::string_view folder, std::string_view path) {
    std::string joined;
    if (path.empty() || (path.front() != '/' && path.front() != '\\')) {
        joined = folder;
        joined += '/';
    }
    joined += path;
    std::string out;
    size_t start = 0;
    while (start <= joined.size()) {
        size_t end = joined.find_first_of("/\\", start);
        if (end == std::string::npos) end = joined.size();
        std::string_view part = std::string_view(joined).substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            out.resize(out.empty() ? 0 : out.rfind('/'));
            continue;
        }
        out += '/';
        out += part;
    }
    return out.empty() ? "/" : out;
}

void split(const std::string& path, std::string& folder, std::string& name) {
    size_t slash = path.rfind('/');
    folder = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
}

bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && iequals(s.substr(s.size() - tail.size()), tail);
}

enum class ArchiveType { kZip, kTar, kGzip, kUnknown };

ArchiveType archive_type(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return ArchiveType::kZip;
    std::string_view extension = name.substr(dot + 1), stem = name.substr(0, dot);
    if (iequals(extension, "zip")) return ArchiveType::kZip;
    if (iequals(extension, "gz")) return ends_with(stem, ".tar") ? ArchiveType::kTar : ArchiveType::kGzip;
    if (iequals(extension, "tgz") || iequals(extension, "tar")) return ArchiveType::kTar;
    return ArchiveType::kUnknown;
}

// Extracts `archive` (named `name`) of a known type into the open target. 0, or the result code.
int extract(ArchiveType type, const std::string& archive, const std::string& name, ExtractTarget& target,
            std::string& cause) {
    if (type == ArchiveType::kZip)
        return extract_archive(archive, ArchiveFormat::kZip, "", target, cause) == 0 ? 0 : 4;
    if (type == ArchiveType::kTar)
        return extract_archive(archive, ArchiveFormat::kTar, "", target, cause) == 0 ? 0 : 101;
    // A single gzip file becomes the name without its last extension.
    std::string relative;
    MemberPath kind;
    if (ExtractTarget::place(name.substr(0, name.rfind('.')), relative, kind, cause) != 0) return 101;
    if (kind != MemberPath::kFile) {
        cause = "no file name is left without the extension";
        return 101;
    }
    return extract_archive(archive, ArchiveFormat::kGzipFile, relative, target, cause) == 0 ? 0 : 101;
}

}  // namespace

int compress_action(std::string_view local_folder, std::string_view path, std::string* archive_name) {
    outputf(kLevelInfo, "Compressing %s ...", escape_controls(path).c_str());
    std::string folder, name;
    split(local_path(local_folder, path), folder, name);
    size_t dot = name.rfind('.');
    std::string result_name;
    int result = 0;
    std::string cause;
    if (dot != std::string::npos && iequals(std::string_view(name).substr(dot + 1), "zip")) {
        cause = escape_controls(name) + " is already a zip archive";
        result = kCompressIsZip;
    } else if (name.empty()) {
        cause = "the path names no file or folder";
        result = 2;
    } else {
        result_name = name.substr(0, dot) + ".zip";
        if (archive_name) *archive_name = result_name;
        result = zip_tree(folder, name, folder + (folder == "/" ? "" : "/") + result_name, cause);
    }
    if (result != 0) {
        if (archive_name) archive_name->clear();
        outputf(kLevelError, "ERROR: Could not compress %s: %s", escape_controls(path).c_str(),
                cause.c_str());
    }
    return result;
}

int uncompress_action(std::string_view local_folder, std::string_view path) {
    outputf(kLevelInfo, "Uncompressing %s ...", escape_controls(path).c_str());
    std::string archive = local_path(local_folder, path);
    std::string folder, name;
    split(archive, folder, name);
    std::string cause;
    ExtractTarget target;
    int result = 0;
    ArchiveType type = archive_type(name);
    if (type == ArchiveType::kUnknown) {
        cause = "the type of " + escape_controls(name) + " is not zip, gz, tar or tgz";
        result = kUncompressUnknownType;
    } else if (target.open(folder, cause) != 0) {
        result = 2;
    } else {
        target.protect(archive);
        result = extract(type, archive, name, target, cause);
    }
    if (result != 0)
        outputf(kLevelError, "ERROR: Could not uncompress %s: %s", escape_controls(path).c_str(),
                cause.c_str());
    return result;
}

}  // namespace orvane
