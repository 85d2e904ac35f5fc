// Local copy and move, with "*" and "?" in the source's last component.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

enum class LocalTransfer : int { kCopy, kMove };

// Copies or moves the item `from` (resolved against `folder`) to `to` (resolved likewise; empty:
// the folder itself). An existing destination folder receives the item under its own name; any
// other destination is the new name, its missing parent folders made. With wildcards in the last
// component every matching file (not folder) of the source's folder goes into the destination
// folder, which is made when missing. Writes the success or failure message; 0 on success.
int local_transfer(LocalTransfer kind, const std::string& folder, std::string_view from, std::string_view to);

}  // namespace orvane
