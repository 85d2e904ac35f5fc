// The zip member walk over minizip's reader.
#include "client/actions/zip_reader.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <unzip.h>

#include "client/actions/extract_target.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/confined_folder.h"
#include "platform/item_info.h"
#include "platform/system.h"

namespace orvane {
namespace {

constexpr size_t kZipReadSize = 256 * 1024;
constexpr uLong kUnixHost = 3;  // "version made by" high byte of Info-ZIP on Unix

struct ZipCloser {
    void operator()(void* file) const { unzClose(file); }
};
using ZipHandle = std::unique_ptr<void, ZipCloser>;

std::string minizip_cause(int code) {
    switch (code) {
        case UNZ_CRCERROR:
            return "its checksum does not match its data";
        case UNZ_BADZIPFILE:
            return "damaged or unsupported zip data";
        case UNZ_ERRNO:
            return platform::error_text(errno);
        case UNZ_INTERNALERROR:
            return "zip reader internal error";
        case UNZ_PARAMERROR:
            return "zip reader parameter error";
        default:
            return format("zip reader error %d", code);
    }
}

// The member's DOS date and time as a FILETIME, taken as local time; 0 when it is no real date.
uint64_t member_filetime(const unz_file_info64& info) {
    const tm_unz& t = info.tmu_date;
    if (t.tm_mday == 0 || t.tm_mon > 11) return 0;
    platform::LocalFields f;
    f.year = static_cast<int>(t.tm_year) - 1900;
    f.month = static_cast<int>(t.tm_mon);
    f.day = static_cast<int>(t.tm_mday);
    f.hour = static_cast<int>(t.tm_hour);
    f.minute = static_cast<int>(t.tm_min);
    f.second = static_cast<int>(t.tm_sec);
    return platform::filetime_from_local(f);
}

bool is_unix_link(const unz_file_info64& info) {
    return (info.version >> 8) == kUnixHost && ((info.external_fa >> 16) & S_IFMT) == S_IFLNK;
}

// Writes the open member to the target's open output. 0, or 1 with the cause.
int copy_member(void* zip, ExtractTarget& target, std::vector<uint8_t>& buffer, const std::string& shown,
                std::string& cause) {
    for (;;) {
        int n = unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(buffer.size()));
        if (n == 0) return 0;
        if (n < 0) {
            cause = "the member " + shown + " cannot be read (" + minizip_cause(n) + ")";
            return 1;
        }
        if (target.write(buffer.data(), static_cast<size_t>(n), cause) != 0) return 1;
    }
}

int extract_member(void* zip, ExtractTarget& target, std::vector<uint8_t>& buffer, std::string& cause) {
    unz_file_info64 info;
    char name[kPathCapacity * 4 + 1];
    int code = unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0);
    if (code != UNZ_OK) {
        cause = "a member's entry cannot be read (" + minizip_cause(code) + ")";
        return 1;
    }
    std::string_view member(name, strnlen(name, sizeof name));
    std::string shown = shown_member_name(member);
    if (info.size_filename >= sizeof name) {
        cause = "the member " + shown + "... has a name too long to extract";
        return 1;
    }
    if (member.size() != info.size_filename) {
        cause = "the member " + shown + " has a zero byte in its name; not extracted";
        return 1;
    }
    std::string relative;
    MemberPath kind;
    if (ExtractTarget::place(member, relative, kind, cause) != 0) return 1;
    if (kind == MemberPath::kEmpty) return 0;
    if (kind == MemberPath::kFolder && target.make_folder(relative, cause) != 0) {
        cause = "the member " + shown + " cannot be extracted: " + cause;
        return 1;
    }
    if (kind == MemberPath::kFolder) return 0;
    if (is_unix_link(info)) {
        outputf(kLevelWarning, "Skipped the link %s: links are not extracted", shown.c_str());
        return 0;
    }
    code = unzOpenCurrentFile(zip);
    if (code != UNZ_OK) {
        cause = "the member " + shown + " cannot be opened (" + minizip_cause(code) + ")";
        return 1;
    }
    int failed = target.create(relative, cause);
    if (failed != 0) cause = "the member " + shown + " cannot be extracted: " + cause;
    if (failed == 0) failed = copy_member(zip, target, buffer, shown, cause);
    if (failed == 0) failed = target.finish(member_filetime(info), cause);
    target.abandon();
    // After a complete copy, closing the member gives the checksum's verdict.
    code = unzCloseCurrentFile(zip);
    if (failed == 0 && code != UNZ_OK) {
        cause = "the member " + shown + " was written, but " + minizip_cause(code);
        return 1;
    }
    return failed;
}

}  // namespace

int unzip_to(const std::string& archive, ExtractTarget& target, std::string& cause) {
    errno = 0;
    ZipHandle zip(unzOpen64(archive.c_str()));
    if (!zip) {
        cause = "cannot open " + escape_controls(archive) + " as a zip archive" +
                (errno ? " (" + platform::error_text(errno) + ")" : std::string());
        return 1;
    }
    std::vector<uint8_t> buffer(kZipReadSize);
    int code = unzGoToFirstFile(zip.get());
    while (code == UNZ_OK) {
        if (extract_member(zip.get(), target, buffer, cause) != 0) return 1;
        code = unzGoToNextFile(zip.get());
    }
    if (code != UNZ_END_OF_LIST_OF_FILE) {
        cause = "the next member cannot be found (" + minizip_cause(code) + ")";
        return 1;
    }
    return 0;
}

}  // namespace orvane
