// RemoteFileEntry, TransferPair and DuplicateRules: the records that requests carry.
#pragma once

#include <cstdint>
#include <string>

namespace orvane {

enum RemoteEntryType : int {
    kEntryFile = 0,
    kEntryFolder = 1,
    kEntryLink = 2,
};

// One file or folder, remote or local: from a listing, an SFTP reply or a local folder.
struct RemoteFileEntry {
    static constexpr size_t kNameCapacity = 390;

    std::string name;
    std::string long_name;  // the listing line as the server sent it
    std::string full_path;
    std::string time_text;
    std::string size_text;
    uint64_t size = 0;
    uint64_t file_time = 0;  // FILETIME
    int type = kEntryFile;
    int64_t unix_time = 0;
    uint32_t sftp_flags = 0;
    uint32_t permissions = 0;
    int walk_flags = 0;
};

// One unit of work of a Transfer list request.
struct TransferPair {
    RemoteFileEntry local;
    RemoteFileEntry remote;
    int direction = 0;  // 1 download, 0 upload
};

// Actions for an existing target.
enum DuplicateAction : int {
    kDuplicateSkip = 1,
    kDuplicateOverwrite = 2,
    kDuplicateResume = 3,
    kDuplicateRename = 4,
};

struct DuplicateRules {
    int compare = 1;                    // 1 by size, anything else by date
    int smaller = kDuplicateOverwrite;  // target smaller or older than the source
    int equal = kDuplicateOverwrite;
    int larger = kDuplicateOverwrite;  // target larger or newer
};

}  // namespace orvane
