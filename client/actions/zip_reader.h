// The zip member walk: every member of a zip archive, in archive order, extracted through the
// extraction target; folders made, files written and their checksums checked, times restored.
#pragma once

#include <string>

namespace orvane {

class ExtractTarget;

// 0 on success; 1 with the cause naming the member that failed (what was written stays; a
// member whose checksum is wrong has been written before the walk stops).
int unzip_to(const std::string& archive, ExtractTarget& target, std::string& cause);

}  // namespace orvane
