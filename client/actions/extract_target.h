// Where archive readers write: the destination folder, entered only through member paths, one
// output file at a time. Failures come back as a cause that names the path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "client/actions/member_path.h"
#include "platform/confined_folder.h"

namespace orvane {

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
    // Creates the file's folder and the file (truncated) and makes it the open output. 0 on success.
    int create(const std::string& relative, std::string& cause);
    // Writes to the open output. 0 on success.
    int write(const void* data, size_t size, std::string& cause);
    // Closes the output, setting its last-write time first unless `filetime` is 0. 0 on success.
    int finish(uint64_t filetime, std::string& cause);
    // Closes the output as it is.
    void abandon();
    bool has_output() const { return output_ != platform::kInvalidFile; }

  private:
    platform::ConfinedFolder folder_;
    platform::FileHandle output_ = platform::kInvalidFile;
    std::string relative_;
};

}  // namespace orvane
