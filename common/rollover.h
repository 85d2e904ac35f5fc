// Log-file rollover: a file past its size limit keeps only its tail after a "Rolled file" line.
#pragma once

#include <cstdint>

#include "common/local_file.h"

namespace orvane {

// The most of the old content a rollover keeps.
inline constexpr uint32_t kRolloverMaxKeptTail = 1024000;

// Turns the rollover on for an open file: once its size passes `limit` bytes after a write, it is
// recreated with "Rolled file (rollover size was set to LIMIT bytes)" and the last
// min(limit / 2, 1,024,000) bytes of the old content. The file's current size counts.
void enable_rollover(LocalFile& file, uint32_t limit);

// The check run after each write (the LocalFile rollover hook; the context is unused).
void roll_over_if_due(void* context, LocalFile& file);

}  // namespace orvane
