// The archive actions behind ftpcompress and ftpuncompress: the path resolved against the script's
// local folder, the format chosen by the name, the work done, and the messages written.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

// Designed results of the actions (0 is success).
inline constexpr int kCompressIsZip = 99;         // the item already names a zip archive
inline constexpr int kUncompressUnknownType = 1;  // the name's extension is no archive type

// ftpcompress: packs the file or folder `path` (relative paths start at `local_folder`) into
// NAME.zip beside it. `archive_name`, when given, receives "NAME.zip" before the work starts and
// is emptied on failure. Writes "Compressing %s ..." and, on failure, an error line with the cause.
int compress_action(std::string_view local_folder, std::string_view path, std::string* archive_name);

// ftpuncompress: unpacks the zip, gzip, tar or tgz archive `path` into the folder that holds it.
// Writes "Uncompressing %s ..." and, on failure, an error line with the cause.
int uncompress_action(std::string_view local_folder, std::string_view path);

}  // namespace orvane
