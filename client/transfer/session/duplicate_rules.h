// The duplicate-file decision: what to do when the target of a transfer already exists.
#pragma once

#include <cstdint>

#include "client/transfer/session/remote_file_entry.h"

namespace orvane {

// What is known about the existing target and the source.
struct DuplicateFacts {
    bool target_exists = false;
    uint64_t target_size = 0;
    uint64_t source_size = 0;
    uint64_t target_time = 0;  // FILETIME, UTC
    uint64_t source_time = 0;
};

// The action (skip, overwrite, resume, rename) of the rules for these facts. A missing target is
// overwritten. Times compare in whole seconds: that is all an FTP server reports.
DuplicateAction duplicate_action(const DuplicateRules& rules, const DuplicateFacts& facts);

// True when the rules overwrite whatever the facts: nothing about the target needs asking.
inline bool always_overwrites(const DuplicateRules& rules) {
    return rules.smaller == kDuplicateOverwrite && rules.equal == kDuplicateOverwrite &&
           rules.larger == kDuplicateOverwrite;
}

// The messages of the transfer procedures.
inline constexpr const char* kMsgNoRemoteTime = "Could not obtain the last modification time for remote file";
inline constexpr const char* kMsgNoRemoteSize = "Could not obtain the size of the remote file";
inline constexpr const char* kMsgSkipping = "Skipping duplicate file based on user defined rules";
inline constexpr const char* kMsgNoAsciiResume = "Files cannot be resumed in ASCII mode. Overwriting file";
inline constexpr const char* kMsgNoResume =
    "The remote host does not support file resuming. Overwriting file";
inline constexpr const char* kMsgRenaming = "Renaming duplicate file based on user defined rules";
inline constexpr const char* kMsgNoRemoteRename = "Could not rename remote file";
inline constexpr const char* kMsgNoLocalFile = "Could not open local file";
inline constexpr const char* kMsgNoTimeUpdate = "Could not update remote file time";

}  // namespace orvane
