// The member walk over libarchive's reader.
#include "client/actions/archive_reader.h"

#include <archive.h>
#include <archive_entry.h>

#include <memory>
#include <set>

#include "client/actions/archive_names.h"
#include "client/actions/extract_target.h"
#include "client/actions/zip_layout.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/file.h"

namespace orvane {
namespace {

constexpr size_t kArchiveReadSize = 256 * 1024;
// The zip reader seeks to every member's header and reads a whole block there: with many small
// members a large block is mostly read for nothing.
constexpr size_t kZipReadSize = 32 * 1024;
// The earliest time a FILETIME holds (1601-01-01) in seconds since 1970.
constexpr int64_t kEarliestTime = -11644473600LL;

struct ArchiveFree {
    void operator()(archive* a) const { archive_read_free(a); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveFree>;

std::string library_cause(archive* a) {
    const char* text = archive_error_string(a);
    return escape_controls(text ? text : "unknown error");
}

uint64_t member_filetime(archive_entry* entry) {
    if (!archive_entry_mtime_is_set(entry) || archive_entry_mtime(entry) < kEarliestTime) return 0;
    return platform::filetime_from_unix(archive_entry_mtime(entry), archive_entry_mtime_nsec(entry));
}

class MemberWalk {
  public:
    MemberWalk(archive* a, ExtractTarget& target, std::string& cause)
        : a_(a), target_(target), cause_(cause) {}

    // One member; `name` is what the member-name rule judges.
    int extract(archive_entry* entry, const char* name) {
        if (!name) return fail_plain("a member has no name");
        std::string shown = shown_member_name(name);
        std::string relative;
        MemberPath kind;
        if (ExtractTarget::place(name, relative, kind, cause_) != 0) return 1;
        if (kind == MemberPath::kEmpty) return 0;
        const char* hardlink = archive_entry_hardlink(entry);
        mode_t type = archive_entry_filetype(entry);
        if (!hardlink && (type == AE_IFDIR || kind == MemberPath::kFolder)) {
            if (target_.make_folder(relative, cause_) == 0) return 0;
            return fail(shown, "cannot be extracted: " + cause_);
        }
        if (type == AE_IFLNK) {
            outputf(kLevelWarning, "Skipped the link %s: links are not extracted", shown.c_str());
            return 0;
        }
        if (!hardlink && type != AE_IFREG) {
            outputf(kLevelWarning, "Skipped %s: not a regular file", shown.c_str());
            return 0;
        }
        if (archive_entry_is_data_encrypted(entry)) return fail(shown, "is encrypted; not extracted");
        std::string earlier;
        bool copy = hardlink && archive_entry_size(entry) == 0;
        if (copy && (member_path(hardlink, earlier) != MemberPath::kFile || !files_.count(earlier))) {
            outputf(kLevelWarning, "Skipped the hard link %s: its target is no earlier member",
                    shown.c_str());
            return 0;
        }
        // A zip made elsewhere may carry no permissions: the usual ones then.
        uint32_t mode = archive_entry_perm(entry) != 0 ? archive_entry_perm(entry) : 0644;
        if (target_.create(relative, mode, cause_) != 0) return fail(shown, "cannot be extracted: " + cause_);
        int failed = copy ? target_.copy_from(earlier, cause_) : copy_data(shown);
        if (failed == 0) failed = extend_sparse(entry);
        if (failed == 0) failed = target_.finish(member_filetime(entry), cause_);
        if (failed != 0) {
            target_.abandon();
            if (cause_.rfind("the member ", 0) != 0)
                cause_ = "the member " + shown + " cannot be extracted: " + cause_;
            return 1;
        }
        files_.insert(relative);
        return 0;
    }

  private:
    int copy_data(const std::string& shown) {
        for (;;) {
            const void* data = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            int r = archive_read_data_block(a_, &data, &size, &offset);
            if (r == ARCHIVE_EOF) return 0;
            // A warning here is a checksum that does not match: the data is not what was packed.
            if (r != ARCHIVE_OK) return fail(shown, "cannot be read (" + library_cause(a_) + ")");
            if (offset < 0) return fail(shown, "cannot be read (a negative offset)");
            if (target_.write_at(static_cast<uint64_t>(offset), data, size, cause_) != 0) return 1;
        }
    }

    // A sparse member may end in a hole that no data block reaches: its size says where it ends.
    int extend_sparse(archive_entry* entry) {
        if (archive_entry_sparse_count(entry) == 0 || !archive_entry_size_is_set(entry)) return 0;
        return target_.write_at(static_cast<uint64_t>(archive_entry_size(entry)), "", 0, cause_);
    }

    int fail(const std::string& shown, const std::string& what) {
        cause_ = "the member " + shown + " " + what;
        return 1;
    }
    int fail_plain(const std::string& what) {
        cause_ = what;
        return 1;
    }

    archive* a_;
    ExtractTarget& target_;
    std::string& cause_;
    std::set<std::string> files_;  // files extracted so far: the only targets a hard link may copy
};

void choose_format(archive* a, ArchiveFormat format) {
    if (format == ArchiveFormat::kZip) {
        archive_read_support_format_zip_seekable(a);
        return;
    }
    // Only gzip among the filters: others would start outside programs.
    archive_read_support_filter_gzip(a);
    if (format == ArchiveFormat::kTar)
        archive_read_support_format_tar(a);
    else
        archive_read_support_format_raw(a);
}

}  // namespace

int extract_archive(const std::string& archive_path, ArchiveFormat format, const std::string& gzip_relative,
                    ExtractTarget& target, std::string& cause) {
    if (format == ArchiveFormat::kZip && check_zip_layout(archive_path, cause) != 0) return 1;
    Utf8NamesScope names;
    ArchiveReader reader(archive_read_new());
    if (!reader) {
        cause = "cannot start the archive reader";
        return 1;
    }
    archive* a = reader.get();
    choose_format(a, format);
    size_t block = format == ArchiveFormat::kZip ? kZipReadSize : kArchiveReadSize;
    if (archive_read_open_filename(a, archive_path.c_str(), block) != ARCHIVE_OK) {
        cause = "cannot open " + escape_controls(archive_path) + " (" + library_cause(a) + ")";
        return 1;
    }
    MemberWalk walk(a, target, cause);
    for (;;) {
        archive_entry* entry = nullptr;
        int r = archive_read_next_header(a, &entry);
        if (r == ARCHIVE_EOF) break;
        // ARCHIVE_RETRY too: the reader would skip damage and go on as if nothing were lost.
        if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
            cause = "the next member cannot be read (" + library_cause(a) + ")";
            return 1;
        }
        const char* name =
            format == ArchiveFormat::kGzipFile ? gzip_relative.c_str() : archive_entry_pathname(entry);
        if (walk.extract(entry, name) != 0) return 1;
    }
    return 0;
}

}  // namespace orvane
