// The member walk over zip, tar (plain or gzip-compressed) and single gzip files: the archive
// library reads and checks the bytes; every name passes the member-name rule and every file
// reaches the disk through the extraction target, whole or not at all.
#pragma once

#include <string>

namespace orvane {

class ExtractTarget;

enum class ArchiveFormat : int {
    kZip,       // read by its central directory: Zip64, every method the library knows
    kTar,       // ustar, pax and GNU, sparse members and hard links; plain or gzip-compressed
    kGzipFile,  // one gzip stream becomes one file
};

// Extracts `archive` into `target`; a kGzipFile becomes `gzip_relative`. 0 on success; 1 with the
// cause naming the member that failed (members extracted before it stay; it leaves nothing).
// Links are not made (a warning each), nor fifos and devices; encrypted members and methods the
// library does not know fail.
int extract_archive(const std::string& archive, ArchiveFormat format, const std::string& gzip_relative,
                    ExtractTarget& target, std::string& cause);

}  // namespace orvane
