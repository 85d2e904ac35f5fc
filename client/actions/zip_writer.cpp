// The zip writer over libarchive: the work list of the folder walk and the copy of each file.
#include "client/actions/zip_writer.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <cerrno>
#include <deque>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "client/actions/archive_names.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/file.h"
#include "platform/item_info.h"
#include "platform/system.h"

namespace orvane {
namespace {

constexpr size_t kZipWriteSize = 256 * 1024;

// One item still to pack: its name, the folder holding it, and its path in the archive (ending
// in "/" below the top).
struct WorkItem {
    std::string name;
    std::string folder;
    std::string archive_path;
};

struct ArchiveFree {
    void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryFree {
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};
using EntryHandle = std::unique_ptr<archive_entry, EntryFree>;

class ZipWriter {
  public:
    explicit ZipWriter(const std::string& temporary) : temporary_(temporary) {}

    int create(std::string& cause) {
        zip_.reset(archive_write_new());
        if (!zip_) {
            cause = "cannot start the zip writer";
            return 1;
        }
        archive* a = zip_.get();
        std::string level = "zip:compression-level=" + std::to_string(kZipLevel);
        // Blocking would pad the archive's end with zeros after the end record.
        if (archive_write_set_format_zip(a) != ARCHIVE_OK ||
            archive_write_set_options(a, "zip:compression=deflate") != ARCHIVE_OK ||
            archive_write_set_options(a, level.c_str()) != ARCHIVE_OK ||
            archive_write_set_bytes_per_block(a, 0) != ARCHIVE_OK ||
            archive_write_open_filename(a, temporary_.c_str()) != ARCHIVE_OK) {
            cause = "cannot create " + escape_controls(temporary_) + " (" + library_cause() + ")";
            return 1;
        }
        return 0;
    }

    // Adds the file at `path` as `member`. 0, or the result code with the cause.
    int add_file(const std::string& path, const std::string& member, const platform::ItemInfo& item,
                 std::string& cause) {
        platform::FileHandle file = platform::file_open(path, platform::kOpenRead);
        if (file == platform::kInvalidFile) {
            cause = "cannot open " + escape_controls(path) + " (" + platform::error_text(errno) + ")";
            return 5;
        }
        EntryHandle entry = make_entry(member, item, AE_IFREG);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(item.size));
        int result = start(entry.get(), member, cause);
        uint64_t total = 0;
        while (result == 0) {
            int64_t n = platform::file_read(file, buffer_.data(), buffer_.size());
            if (n < 0) {
                cause = "cannot read " + escape_controls(path) + " (" + platform::error_text(errno) + ")";
                result = 5;
                break;
            }
            if (n == 0) break;
            total += static_cast<uint64_t>(n);
            // The header promised the size: bytes past it would be cut off without a word.
            if (total > item.size) {
                cause = "the file " + escape_controls(path) + " grew while it was packed";
                result = 4;
                break;
            }
            if (archive_write_data(zip_.get(), buffer_.data(), static_cast<size_t>(n)) != n) {
                cause = "cannot write the member " + escape_controls(member) + " (" + library_cause() + ")";
                result = 4;
            }
        }
        platform::file_close(file);
        return result == 0 ? finish_entry(member, cause) : result;
    }

    // Adds a symbolic link as a link member holding its target.
    int add_link(const std::string& member, const platform::ItemInfo& item, const std::string& target,
                 std::string& cause) {
        EntryHandle entry = make_entry(member, item, AE_IFLNK);
        archive_entry_set_symlink(entry.get(), target.c_str());
        if (int r = start(entry.get(), member, cause); r != 0) return r;
        return finish_entry(member, cause);
    }

    int close(std::string& cause) {
        int r = archive_write_close(zip_.get());
        if (r == ARCHIVE_OK) return 0;
        cause = "cannot finish " + escape_controls(temporary_) + " (" + library_cause() + ")";
        return 7;
    }

  private:
    std::string library_cause() {
        const char* text = zip_ ? archive_error_string(zip_.get()) : nullptr;
        return escape_controls(text ? text : platform::error_text(errno).c_str());
    }

    static EntryHandle make_entry(const std::string& member, const platform::ItemInfo& item, unsigned type) {
        EntryHandle entry(archive_entry_new());
        archive_entry_set_pathname(entry.get(), member.c_str());
        archive_entry_set_filetype(entry.get(), type);
        archive_entry_set_perm(entry.get(), item.permissions & 0777);
        int64_t ticks = static_cast<int64_t>(item.last_write_time % 10000000);
        archive_entry_set_mtime(entry.get(), platform::unix_from_filetime(item.last_write_time), ticks * 100);
        return entry;
    }

    int start(archive_entry* entry, const std::string& member, std::string& cause) {
        if (archive_write_header(zip_.get(), entry) >= ARCHIVE_WARN) return 0;
        cause = "cannot start the member " + escape_controls(member) + " (" + library_cause() + ")";
        return 3;
    }

    int finish_entry(const std::string& member, std::string& cause) {
        if (archive_write_finish_entry(zip_.get()) == ARCHIVE_OK) return 0;
        cause = "cannot finish the member " + escape_controls(member) + " (" + library_cause() + ")";
        return 6;
    }

    std::string temporary_;
    std::unique_ptr<archive, ArchiveFree> zip_;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kZipWriteSize);
};

class TreeWalk {
  public:
    TreeWalk(ZipWriter& writer, const std::string& temporary) : writer_(writer) {
        // The archive being written is never packed into itself (it may lie inside the tree).
        have_own_ = platform::item_info(temporary, own_, nullptr) == 0;
    }

    int run(const std::string& folder, const std::string& name, std::string& cause) {
        std::string top = folder + "/" + name;
        platform::ItemInfo info;
        std::string why;
        // The item the user named is followed when it is a link; links below it are not.
        if (platform::item_info(top, info, &why) != 0) {
            cause = escape_controls(top) + " cannot be found (" + why + ")";
            return 2;
        }
        work_.push_back({name, folder, ""});
        bool top_item = true;
        while (!work_.empty()) {
            WorkItem item = std::move(work_.front());
            work_.pop_front();
            if (int r = pack(item, top_item, cause); r != 0) return r;
            top_item = false;
        }
        if (packed_ > 0) return 0;
        cause = "nothing in " + escape_controls(top) + " could be packed";
        return 9;
    }

  private:
    int pack(const WorkItem& item, bool top_item, std::string& cause) {
        std::string path = item.folder + "/" + item.name;
        std::string member = item.archive_path + item.name;
        platform::ItemInfo info;
        std::string why, target;
        int failed =
            top_item ? platform::item_info(path, info, &why) : platform::link_info(path, info, target, &why);
        if (failed != 0) {
            cause = "cannot read " + escape_controls(path) + " (" + why + ")";
            return 5;
        }
        if (info.is_folder) {
            // Links are not followed, so only a mount can show a folder twice; one of its own
            // ancestors would be packed for ever.
            if (!expanded_.insert({info.device, info.inode}).second) {
                outputf(kLevelWarning, "Skipped %s: the folder was packed already under another name",
                        escape_controls(path).c_str());
                return 0;
            }
            std::vector<std::string> names;
            if (platform::folder_names(path, names, &why) != 0) {
                cause = "cannot list the folder " + escape_controls(path) + " (" + why + ")";
                return 8;
            }
            for (std::string& n : names) work_.push_back({std::move(n), path, member + "/"});
            return 0;
        }
        if (have_own_ && info.device == own_.device && info.inode == own_.inode) return 0;
        if (info.is_link) {
            ++packed_;
            return writer_.add_link(member, info, target, cause);
        }
        if (!info.is_regular) {
            // Reading a fifo or a device could block for ever or never end.
            outputf(kLevelWarning, "Skipped %s: not a regular file", escape_controls(path).c_str());
            return 0;
        }
        ++packed_;
        return writer_.add_file(path, member, info, cause);
    }

    ZipWriter& writer_;
    platform::ItemInfo own_;
    bool have_own_ = false;
    std::deque<WorkItem> work_;
    std::set<std::pair<uint64_t, uint64_t>> expanded_;  // device and inode of folders packed
    uint64_t packed_ = 0;
};

}  // namespace

int zip_tree(const std::string& folder, const std::string& name, const std::string& archive,
             std::string& cause) {
    std::string temporary = archive + ".part";
    int result = 0;
    {
        Utf8NamesScope names;
        ZipWriter writer(temporary);
        result = writer.create(cause);
        if (result == 0) result = TreeWalk(writer, temporary).run(folder, name, cause);
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
