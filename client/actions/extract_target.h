// Where archive readers write: the destination folder, entered only through member paths, one
// output file at a time that takes its name only once it is whole. Failures come back as a cause
// that names the path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "client/actions/member_path.h"
#include "platform/confined_folder.h"

namespace orvane {

// Extraction stops before the file system's free space would fall below the smaller of 1% of its
// size and 256 MiB, so an archive that expands without end (a small .gz of zeros) cannot fill it.
uint64_t free_space_reserve(uint64_t total_bytes);

class ExtractTarget {
  public:
    ExtractTarget() = default;
    ~ExtractTarget() { abandon(); }
    ExtractTarget(const ExtractTarget&) = delete;
    ExtractTarget& operator=(const ExtractTarget&) = delete;

    // 0 on success; 1 with the cause.
    int open(const std::string& folder, std::string& cause);

    // The archive being read: no member may overwrite it.
    void protect(const std::string& archive) { folder_.protect(archive); }

    // Applies the member-name rule to `name`: 0 with `relative` and `kind` set (kind may be kEmpty:
    // nothing to extract); 1 with the cause naming the member when the rule refuses it.
    static int place(std::string_view name, std::string& relative, MemberPath& kind, std::string& cause);

    // Creates a folder (and its parents) below the destination. 0 on success.
    int make_folder(const std::string& relative, std::string& cause);
    // Creates the file's folder and a new temporary file beside `relative` as the open output,
    // with the permissions `mode` (executable bits kept, never setuid, setgid or writable by
    // others; the umask applies).
    int create(const std::string& relative, uint32_t mode, std::string& cause);
    // Writes to the open output at `offset` (a sparse member leaves holes between; an empty write
    // past the end makes the end a hole). 0 on success.
    int write_at(uint64_t offset, const void* data, size_t size, std::string& cause);
    // Appends the content of an earlier extracted file (a hard link's target) to the open output.
    int copy_from(const std::string& relative, std::string& cause);
    // Completes the output: its last-write time unless `filetime` is 0; then it takes its name.
    // 0 on success; on failure nothing stays.
    int finish(uint64_t filetime, std::string& cause);
    // Drops the output and its temporary file.
    void abandon();
    bool has_output() const { return output_ != platform::kInvalidFile; }

  private:
    int check_space(uint64_t coming, std::string& cause);

    platform::ConfinedFolder folder_;
    platform::FileHandle output_ = platform::kInvalidFile;
    std::string relative_;
    std::string temporary_;
    std::string made_folder_;   // the folder last made: its members need not make it again
    uint64_t end_ = 0;          // the output's size when it is complete
    uint64_t written_end_ = 0;  // the end of the last bytes written (less when a hole ends it)
    uint64_t unchecked_ = 0;    // written since free space was last looked at
    uint64_t space_left_ = 0;   // free bytes above the reserve at that time
};

}  // namespace orvane
