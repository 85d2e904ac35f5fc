// What the archive writer needs of local items: type, size, time and identity (symbolic links
// followed), and the names in a folder, each with the system's cause on failure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvane::platform {

struct ItemInfo {
    bool is_folder = false;
    bool is_regular = false;   // a plain file (not a fifo, socket or device)
    bool is_link = false;      // a symbolic link (only from link_info)
    uint32_t permissions = 0;  // the mode's permission bits
    uint64_t size = 0;
    uint64_t last_write_time = 0;  // FILETIME
    uint64_t device = 0;           // with inode: the same item reached by two paths
    uint64_t inode = 0;
};

// 0 on success; 1 with the cause (errno text) when the item cannot be looked up.
int item_info(const std::string& path, ItemInfo& info, std::string* cause);

// The same for the item itself when it is a symbolic link (not followed), with its target text.
int link_info(const std::string& path, ItemInfo& info, std::string& target, std::string* cause);

// The names of a folder's entries in the order the system returns them ("." and ".." left out).
// 0 on success; 1 with the cause.
int folder_names(const std::string& folder, std::vector<std::string>& names, std::string* cause);

// Removes a file (not a folder); a missing file is no failure. 0 on success.
int remove_file(const std::string& path);

// Local calendar fields of a FILETIME, and the FILETIME of local calendar fields (the process's
// TZ applies). Fields as in struct tm: year since 1900, month 0..11.
struct LocalFields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
LocalFields local_fields(uint64_t filetime);
uint64_t filetime_from_local(const LocalFields& fields);

}  // namespace orvane::platform
