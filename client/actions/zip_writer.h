// The zip writer: a file, or a folder tree breadth first, packed into a new zip archive.
#pragma once

#include <string>

namespace orvane {

// Packs `folder`/`name` into `archive`. Members are named by their path below `folder` with "/"
// between components (a folder's own name is the first component); files of a folder come before
// those of its subfolders; folders add no members of their own. A symbolic link inside the tree is
// packed as a link (as `zip -y` does), never followed; the top item is followed. Fifos, sockets and
// devices are skipped with a warning each. Sizes, offsets and counts past zip's 32- and 16-bit
// fields take the Zip64 form; members carry Unix permissions and their exact time (extended
// timestamp), their DOS time clamped to its range. Returns 0, or the result code with the
// cause: 1 the archive cannot be created, 2 the item does not exist, 3 a member cannot be started,
// 4 a write fails, 5 a file cannot be read, 6 a member cannot be closed, 7 the archive cannot be
// closed, 8 a folder cannot be listed, 9 nothing could be packed. The archive is written under a
// temporary name and renamed when complete; on failure neither the temporary file nor an older
// archive of the same name is left.
int zip_tree(const std::string& folder, const std::string& name, const std::string& archive,
             std::string& cause);

// The deflate level of members: zip's own default, a fair trade of speed for size.
inline constexpr int kZipLevel = 6;

}  // namespace orvane
