// The destination of extraction: confined folder creation and one output file.
#include "client/actions/extract_target.h"

#include <cerrno>

#include "common/safe_name.h"
#include "platform/system.h"

namespace orvane {

int ExtractTarget::open(const std::string& folder, std::string& cause) {
    std::string why;
    if (folder_.open(folder, &why) == 0) return 0;
    cause = "cannot open the folder " + escape_controls(folder) + " (" + why + ")";
    return 1;
}

int ExtractTarget::place(std::string_view name, std::string& relative, MemberPath& kind, std::string& cause) {
    kind = member_path(name, relative);
    if (kind != MemberPath::kUnsafe) return 0;
    cause = "the member " + shown_member_name(name) +
            " has an absolute or unsafe name, or one that leaves the destination folder; not extracted";
    return 1;
}

int ExtractTarget::make_folder(const std::string& relative, std::string& cause) {
    std::string why;
    if (folder_.make_folders(relative, &why) == 0) return 0;
    cause = "cannot create the folder " + escape_controls(relative) + " (" + why + ")";
    return 1;
}

int ExtractTarget::create(const std::string& relative, std::string& cause) {
    abandon();
    size_t slash = relative.rfind('/');
    if (slash != std::string::npos && make_folder(relative.substr(0, slash), cause) != 0) return 1;
    std::string why;
    output_ = folder_.create_file(relative, &why);
    if (output_ == platform::kInvalidFile) {
        cause = "cannot create " + escape_controls(relative) + " (" + why + ")";
        return 1;
    }
    relative_ = relative;
    return 0;
}

int ExtractTarget::write(const void* data, size_t size, std::string& cause) {
    if (size == 0) return 0;
    if (platform::file_write(output_, data, size) == static_cast<int64_t>(size)) return 0;
    int error = errno;
    cause = "cannot write " + escape_controls(relative_) + " (" + platform::error_text(error) + ")";
    return 1;
}

int ExtractTarget::finish(uint64_t filetime, std::string& cause) {
    if (filetime != 0) platform::file_set_last_write_time(output_, filetime);
    // close() reports a delayed write error (a full disk on some file systems).
    int failed = platform::close_written_file(output_);
    output_ = platform::kInvalidFile;
    if (failed == 0) return 0;
    cause = "cannot write " + escape_controls(relative_) + " (" + platform::error_text(failed) + ")";
    return 1;
}

void ExtractTarget::abandon() {
    if (output_ != platform::kInvalidFile) platform::file_close(output_);
    output_ = platform::kInvalidFile;
}

}  // namespace orvane
