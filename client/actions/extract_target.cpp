// The destination of extraction: confined folder creation, one output file written under a
// temporary name, and the free-space reserve.
#include "client/actions/extract_target.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/safe_name.h"
#include "common/text.h"
#include "platform/file.h"
#include "platform/system.h"

namespace orvane {
namespace {

constexpr uint64_t kReserveCap = 256ULL << 20;
// Free space is looked at again after this much is written (a statvfs per write would cost).
constexpr uint64_t kSpaceCheckEvery = 16ULL << 20;
constexpr size_t kCopySize = 256 * 1024;

}  // namespace

uint64_t free_space_reserve(uint64_t total_bytes) {
    return std::min(total_bytes / 100, kReserveCap);
}

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

int ExtractTarget::create(const std::string& relative, uint32_t mode, std::string& cause) {
    abandon();
    size_t slash = relative.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : relative.substr(0, slash);
    if (!folder.empty() && folder != made_folder_) {
        if (make_folder(folder, cause) != 0) return 1;
        made_folder_ = folder;
    }
    std::string why;
    output_ = folder_.create_temporary(relative, mode & 0755, temporary_, &why);
    if (output_ == platform::kInvalidFile) {
        cause = "cannot create " + escape_controls(relative) + " (" + why + ")";
        return 1;
    }
    relative_ = relative;
    end_ = written_end_ = 0;
    return check_space(0, cause);
}

int ExtractTarget::check_space(uint64_t coming, std::string& cause) {
    if (unchecked_ + coming > space_left_ || unchecked_ >= kSpaceCheckEvery) {
        uint64_t available = 0, total = 0;
        if (int error = platform::free_space(output_, available, total); error != 0) {
            cause = "cannot look at the free space for " + escape_controls(relative_) + " (" +
                    platform::error_text(error) + ")";
            return 1;
        }
        uint64_t reserve = free_space_reserve(total);
        space_left_ = available > reserve ? available - reserve : 0;
        unchecked_ = 0;
    }
    if (unchecked_ + coming <= space_left_) {
        unchecked_ += coming;
        return 0;
    }
    cause =
        "cannot write " + escape_controls(relative_) + ": the disk would fall below its free-space reserve";
    return 1;
}

int ExtractTarget::write_at(uint64_t offset, const void* data, size_t size, std::string& cause) {
    end_ = std::max(end_, offset + size);
    if (size == 0) return 0;
    if (check_space(size, cause) != 0) return 1;
    if (int error = platform::write_at(output_, data, size, offset); error != 0) {
        cause = "cannot write " + escape_controls(relative_) + " (" + platform::error_text(error) + ")";
        return 1;
    }
    written_end_ = std::max(written_end_, offset + size);
    return 0;
}

int ExtractTarget::copy_from(const std::string& relative, std::string& cause) {
    std::string why;
    platform::FileHandle input = folder_.open_file(relative, &why);
    if (input == platform::kInvalidFile) {
        cause = "cannot open " + escape_controls(relative) + " (" + why + ")";
        return 1;
    }
    std::vector<uint8_t> buffer(kCopySize);
    int failed = 0;
    for (;;) {
        int64_t n = platform::file_read(input, buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0) {
            cause = "cannot read " + escape_controls(relative) + " (" + platform::error_text(errno) + ")";
            failed = 1;
            break;
        }
        if ((failed = write_at(end_, buffer.data(), static_cast<size_t>(n), cause)) != 0) break;
    }
    platform::file_close(input);
    return failed;
}

int ExtractTarget::finish(uint64_t filetime, std::string& cause) {
    int error = 0;
    if (end_ > written_end_) error = platform::set_file_size(output_, end_);
    if (error == 0 && filetime != 0) platform::file_set_last_write_time(output_, filetime);
    // close() reports a delayed write error (a full disk on some file systems).
    int closed = platform::close_written_file(output_);
    output_ = platform::kInvalidFile;
    if (error == 0) error = closed;
    std::string why;
    if (error != 0) {
        why = platform::error_text(error);
    } else if (folder_.replace(temporary_, relative_, &why) == 0) {
        temporary_.clear();
        return 0;
    }
    cause = "cannot create " + escape_controls(relative_) + " (" + why + ")";
    abandon();
    return 1;
}

void ExtractTarget::abandon() {
    if (output_ != platform::kInvalidFile) platform::file_close(output_);
    output_ = platform::kInvalidFile;
    if (!temporary_.empty()) folder_.remove_file(temporary_);
    temporary_.clear();
}

}  // namespace orvane
