// RemoteFileEntry, TransferPair and DuplicateRules: the records that listings and requests carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/limits.h"

namespace orvane {

// Entry types.
inline constexpr int kEntryFile = 0;
inline constexpr int kEntryFolder = 1;
inline constexpr int kEntryLink = 2;

// Walk flags.
inline constexpr int kWalkListed = 1;  // the folder's contents have already been listed by a walk

// Which of an entry's facts are exact (a machine listing, MLSD): an exact size is the byte count
// and an exact time is UTC to the second, so no SIZE or MDTM needs to ask again.
inline constexpr int kExactSize = 1;
inline constexpr int kExactTime = 2;

struct RemoteFileEntry {
    // Capacities of the text fields in characters (name, long name and full path: kPathCapacity);
    // writers cut their texts to these.
    static constexpr size_t kTimeTextCapacity = 32;  // yyyymmddhhmmss
    static constexpr size_t kSizeTextCapacity = 33;  // decimal digits

    std::string name;       // as listed, no path
    std::string long_name;  // the server's whole listing line (an SFTP long name, a LIST line)
    std::string full_path;  // filled by walks and transfer requests
    std::string time_text;  // yyyymmddhhmmss; empty when the listing gave no time
    std::string size_text;  // the size column's digits; empty for folders and links
    // Byte count. Kept whole: a file above 4 GiB must compare correctly in the duplicate rules and
    // resume at the right offset; 32-bit consumers use size32().
    uint64_t size = 0;
    uint64_t file_time = 0;  // FILETIME of the listed date and time as written (no zone conversion)
    int type = kEntryFile;
    uint32_t unix_time = 0;    // seconds since 1970 (SFTP)
    uint32_t sftp_flags = 0;   // SFTP attribute flags
    uint32_t permissions = 0;  // file mode (SFTP)
    int walk_flags = 0;
    int exact = 0;  // kExactSize, kExactTime

    // The size where only 32 bits reach a script or the user: saturates at 4294967295.
    uint32_t size32() const { return size > 0xFFFFFFFFULL ? 0xFFFFFFFFU : static_cast<uint32_t>(size); }
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

// How an existing target is compared with the source; any value but kCompareBySize compares by date.
enum DuplicateCompare : int {
    kCompareByDate = 0,
    kCompareBySize = 1,
};

struct DuplicateRules {
    DuplicateCompare compare = kCompareBySize;
    DuplicateAction smaller = kDuplicateOverwrite;  // target smaller or older than the source
    DuplicateAction equal = kDuplicateOverwrite;
    DuplicateAction larger = kDuplicateOverwrite;  // target larger or newer
};

}  // namespace orvane
