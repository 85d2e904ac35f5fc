// The zip writer over minizip: the work list of the folder walk and the copy of each file.
#include "client/actions/zip_writer.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <set>
#include <utility>
#include <vector>

#include <zip.h>

#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/confined_folder.h"
#include "platform/file.h"
#include "platform/item_info.h"
#include "platform/system.h"

namespace orvane {
namespace {

constexpr size_t kZipWriteSize = 256 * 1024;
// Members from this size on get Zip64 sizes (with room for deflate's growth on stored data).
constexpr uint64_t kZip64From = 0xFFFFFFFFULL - 0x1000000ULL;
constexpr uLong kUtf8NamesFlag = 1u << 11;

// One item still to pack: its name, the folder holding it, and its path in the archive (ending
// in "/" below the top).
struct WorkItem {
    std::string name;
    std::string folder;
    std::string archive_path;
};

bool non_ascii(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

// True when the bytes are well-formed UTF-8 (then the names flag tells readers so).
bool valid_utf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t more = c < 0x80             ? 0
                      : (c & 0xE0) == 0xC0 ? 1
                      : (c & 0xF0) == 0xE0 ? 2
                      : (c & 0xF8) == 0xF0 ? 3
                                           : 4;
        if (more == 4 || i + more >= s.size() + (more == 0)) return false;
        for (size_t k = 1; k <= more; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += more + 1;
    }
    return true;
}

class ZipWriter {
  public:
    explicit ZipWriter(const std::string& temporary) : temporary_(temporary) {}
    ~ZipWriter() {
        if (zip_) zipClose(zip_, nullptr);
    }

    int create(std::string& cause) {
        errno = 0;
        zip_ = zipOpen64(temporary_.c_str(), APPEND_STATUS_CREATE);
        if (zip_) return 0;
        cause = "cannot create " + escape_controls(temporary_) +
                (errno ? " (" + platform::error_text(errno) + ")" : std::string());
        return 1;
    }

    // Adds the file at `path` as `member`. 0, or the designed result with the cause.
    int add_file(const std::string& path, const std::string& member, const platform::ItemInfo& item,
                 std::string& cause) {
        platform::LocalFields t = platform::local_fields(item.last_write_time);
        zip_fileinfo info;
        memset(&info, 0, sizeof info);
        info.tmz_date.tm_sec = static_cast<uInt>(t.second);
        info.tmz_date.tm_min = static_cast<uInt>(t.minute);
        info.tmz_date.tm_hour = static_cast<uInt>(t.hour);
        info.tmz_date.tm_mday = static_cast<uInt>(t.day);
        info.tmz_date.tm_mon = static_cast<uInt>(t.month);
        info.tmz_date.tm_year = static_cast<uInt>(t.year + 1900);
        uLong flags = non_ascii(member) && valid_utf8(member) ? kUtf8NamesFlag : 0;
        int zip64 = item.size >= kZip64From ? 1 : 0;
        std::string shown = escape_controls(member);
        int code = zipOpenNewFileInZip4_64(zip_, member.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                           Z_DEFLATED, kZipLevel, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                           Z_DEFAULT_STRATEGY, nullptr, 0, 0, flags, zip64);
        if (code != ZIP_OK) {
            cause = "cannot start the member " + shown + " (" + minizip_cause(code) + ")";
            return 3;
        }
        platform::FileHandle file = platform::file_open(path, platform::kOpenRead);
        if (file == platform::kInvalidFile) {
            cause = "cannot open " + escape_controls(path) + " (" + platform::error_text(errno) + ")";
            zipCloseFileInZip(zip_);
            return 5;
        }
        int result = 0;
        uint64_t total = 0;
        for (;;) {
            int64_t n = platform::file_read(file, buffer_.data(), buffer_.size());
            if (n < 0) {
                cause = "cannot read " + escape_controls(path) + " (" + platform::error_text(errno) + ")";
                result = 5;
                break;
            }
            if (n == 0) break;
            total += static_cast<uint64_t>(n);
            if (total >= kZip64From && !zip64) {
                cause = "the file " + escape_controls(path) + " grew past 4 GiB while it was packed";
                result = 4;
                break;
            }
            code = zipWriteInFileInZip(zip_, buffer_.data(), static_cast<unsigned>(n));
            if (code != ZIP_OK) {
                cause = "cannot write the member " + shown + " (" + minizip_cause(code) + ")";
                result = 4;
                break;
            }
        }
        platform::file_close(file);
        code = zipCloseFileInZip(zip_);
        if (result == 0 && code != ZIP_OK) {
            cause = "cannot finish the member " + shown + " (" + minizip_cause(code) + ")";
            result = 6;
        }
        return result;
    }

    int close(std::string& cause) {
        int code = zipClose(zip_, nullptr);
        zip_ = nullptr;
        if (code == ZIP_OK) return 0;
        cause = "cannot finish " + escape_controls(temporary_) + " (" + minizip_cause(code) + ")";
        return 7;
    }

  private:
    static std::string minizip_cause(int code) {
        if (code == ZIP_ERRNO) return platform::error_text(errno);
        if (code == ZIP_PARAMERROR) return "zip writer parameter error";
        if (code == ZIP_BADZIPFILE) return "bad zip file";
        if (code == ZIP_INTERNALERROR) return "zip writer internal error";
        return format("zip writer error %d", code);
    }

    std::string temporary_;
    zipFile zip_ = nullptr;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kZipWriteSize);
};

int walk(ZipWriter& writer, const std::string& folder, const std::string& name, const std::string& temporary,
         std::string& cause) {
    // The archive being written is never packed into itself (it may lie inside the tree).
    platform::ItemInfo own;
    bool have_own = platform::item_info(temporary, own, nullptr) == 0;
    std::string top = folder + "/" + name;
    platform::ItemInfo info;
    std::string why;
    if (platform::item_info(top, info, &why) != 0) {
        cause = escape_controls(top) + " cannot be found (" + why + ")";
        return 2;
    }
    std::deque<WorkItem> work;
    work.push_back({name, folder, ""});
    // Folders already expanded: a symbolic link back up the tree must not loop for ever.
    std::set<std::pair<uint64_t, uint64_t>> expanded;
    while (!work.empty()) {
        WorkItem item = std::move(work.front());
        work.pop_front();
        std::string path = item.folder + "/" + item.name;
        if (platform::item_info(path, info, &why) != 0) {
            cause = "cannot read " + escape_controls(path) + " (" + why + ")";
            return 5;
        }
        if (info.is_folder) {
            if (!expanded.insert({info.device, info.inode}).second) continue;
            std::vector<std::string> names;
            if (platform::folder_names(path, names, &why) != 0) {
                cause = "cannot list the folder " + escape_controls(path) + " (" + why + ")";
                return 8;
            }
            for (std::string& n : names)
                work.push_back({std::move(n), path, item.archive_path + item.name + "/"});
            continue;
        }
        if (have_own && info.device == own.device && info.inode == own.inode) continue;
        if (!info.is_regular) {
            // Reading a fifo or a device could block for ever or never end.
            outputf(kLevelWarning, "Skipped %s: not a regular file", escape_controls(path).c_str());
            continue;
        }
        if (int r = writer.add_file(path, item.archive_path + item.name, info, cause); r != 0) return r;
    }
    return 0;
}

}  // namespace

int zip_tree(const std::string& folder, const std::string& name, const std::string& archive,
             std::string& cause) {
    std::string temporary = archive + ".part";
    int result = 0;
    {
        ZipWriter writer(temporary);
        result = writer.create(cause);
        if (result == 0) result = walk(writer, folder, name, temporary, cause);
        if (result == 0) result = writer.close(cause);
    }
    if (result == 0 && platform::path_rename(temporary, archive) != 0) {
        cause = "cannot rename " + escape_controls(temporary) + " (" + platform::error_text(errno) + ")";
        result = 7;
    }
    if (result != 0) {
        platform::remove_file(temporary);
        platform::remove_file(archive);
    }
    return result;
}

}  // namespace orvane
