// The layout of a zip archive's members, read from its central directory before anything is
// extracted: members whose data overlap are the construction of zip bombs (one compressed stream
// counted as many members), and such an archive is refused as a whole.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

struct ZipSpan {
    uint64_t offset = 0;      // of the member's local header
    uint64_t compressed = 0;  // bytes of data after it
    std::string name;
};

// The members listed in a central directory (the bytes from its first header on), Zip64 extra
// fields applied. False when the directory is damaged; the spans read before the damage are kept.
bool read_zip_spans(std::string_view directory, std::vector<ZipSpan>& spans);

// 0 when no two members overlap, or when the archive holds no directory this check can find (the
// reader then says what is wrong with it); 1 with the cause naming two members that overlap.
int check_zip_layout(const std::string& archive, std::string& cause);

}  // namespace orvane
