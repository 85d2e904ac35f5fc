// Zip end records and central directory headers, read only far enough to place each member.
#include "client/actions/zip_layout.h"

#include <algorithm>
#include <cstdio>

#include "client/actions/member_path.h"
#include "platform/file.h"

namespace orvane {
namespace {

constexpr size_t kEndRecord = 22;
constexpr size_t kMaxComment = 65535;
constexpr size_t kZip64Locator = 20;
constexpr size_t kZip64EndRecord = 56;
constexpr size_t kDirectoryHeader = 46;
constexpr size_t kLocalHeader = 30;
// A directory larger than this is left to the reader (which holds it in memory anyway).
constexpr uint64_t kDirectoryCapacity = 256ULL << 20;
constexpr uint32_t kFull32 = 0xFFFFFFFFu;

uint64_t le(std::string_view s, size_t at, size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i)
        v |= static_cast<uint64_t>(static_cast<unsigned char>(s[at + i])) << (8 * i);
    return v;
}

// The file's bytes [offset, offset + size); false when they cannot all be read.
bool read_at(platform::FileHandle file, uint64_t offset, size_t size, std::string& out) {
    out.assign(size, '\0');
    if (platform::file_seek(file, static_cast<int64_t>(offset), SEEK_SET) != static_cast<int64_t>(offset))
        return false;
    size_t have = 0;
    while (have < size) {
        int64_t n = platform::file_read(file, out.data() + have, size - have);
        if (n <= 0) return false;
        have += static_cast<size_t>(n);
    }
    return true;
}

// Replaces the 32-bit values that say "see the Zip64 field" by the field's values.
bool apply_zip64(std::string_view extra, bool need_uncompressed, ZipSpan& span, bool need_offset) {
    bool need_compressed = span.compressed == kFull32;
    for (size_t at = 0; at + 4 <= extra.size();) {
        size_t id = le(extra, at, 2), size = le(extra, at + 2, 2);
        if (at + 4 + size > extra.size()) return false;
        if (id == 1) {
            size_t field = at + 4, end = field + size;
            if (need_uncompressed) field += 8;
            if (need_compressed) {
                if (field + 8 > end) return false;
                span.compressed = le(extra, field, 8);
                field += 8;
            }
            if (need_offset) {
                if (field + 8 > end) return false;
                span.offset = le(extra, field, 8);
            }
            return true;
        }
        at += 4 + size;
    }
    return !need_compressed && !need_offset;
}

// Where the central directory lies, from the end record (and the Zip64 end record it points to).
bool find_directory(platform::FileHandle file, uint64_t file_size, uint64_t& offset, uint64_t& size) {
    size_t tail_size = static_cast<size_t>(std::min<uint64_t>(file_size, kEndRecord + kMaxComment));
    std::string tail;
    if (tail_size < kEndRecord || !read_at(file, file_size - tail_size, tail_size, tail)) return false;
    size_t end = tail.rfind("PK\x05\x06");
    if (end == std::string::npos || end + kEndRecord > tail.size()) return false;
    size = le(tail, end + 12, 4);
    offset = le(tail, end + 16, 4);
    if (end < kZip64Locator || tail.compare(end - kZip64Locator, 4, "PK\x06\x07") != 0) return true;
    std::string record;
    if (!read_at(file, le(tail, end - kZip64Locator + 8, 8), kZip64EndRecord, record) ||
        record.compare(0, 4, "PK\x06\x06") != 0)
        return false;
    size = le(record, 40, 8);
    offset = le(record, 48, 8);
    return true;
}

}  // namespace

bool read_zip_spans(std::string_view directory, std::vector<ZipSpan>& spans) {
    size_t at = 0;
    while (at + 4 <= directory.size() && directory.compare(at, 4, "PK\x01\x02") == 0) {
        if (at + kDirectoryHeader > directory.size()) return false;
        size_t name = le(directory, at + 28, 2), extra = le(directory, at + 30, 2),
               comment = le(directory, at + 32, 2);
        if (at + kDirectoryHeader + name + extra + comment > directory.size()) return false;
        ZipSpan span;
        span.compressed = le(directory, at + 20, 4);
        span.offset = le(directory, at + 42, 4);
        span.name.assign(directory.substr(at + kDirectoryHeader, name));
        bool need_uncompressed = le(directory, at + 24, 4) == kFull32;
        if (!apply_zip64(directory.substr(at + kDirectoryHeader + name, extra), need_uncompressed, span,
                         span.offset == kFull32))
            return false;
        spans.push_back(std::move(span));
        at += kDirectoryHeader + name + extra + comment;
    }
    return true;
}

int check_zip_layout(const std::string& archive, std::string& cause) {
    platform::FileHandle file = platform::file_open(archive, platform::kOpenRead);
    if (file == platform::kInvalidFile) return 0;
    int64_t file_size = platform::file_size(file);
    uint64_t offset = 0, size = 0;
    std::string directory;
    bool found = file_size > 0 && find_directory(file, static_cast<uint64_t>(file_size), offset, size) &&
                 size <= kDirectoryCapacity && offset + size <= static_cast<uint64_t>(file_size) &&
                 read_at(file, offset, static_cast<size_t>(size), directory);
    platform::file_close(file);
    std::vector<ZipSpan> spans;
    if (!found || !read_zip_spans(directory, spans)) return 0;
    std::sort(spans.begin(), spans.end(),
              [](const ZipSpan& a, const ZipSpan& b) { return a.offset < b.offset; });
    for (size_t i = 1; i < spans.size(); ++i) {
        const ZipSpan& a = spans[i - 1];
        // The local header is at least 30 bytes: a real archive never places the next member sooner.
        if (a.compressed > UINT64_MAX - a.offset - kLocalHeader ||
            a.offset + kLocalHeader + a.compressed > spans[i].offset) {
            cause = "the members " + shown_member_name(a.name) + " and " + shown_member_name(spans[i].name) +
                    " overlap in the archive (a zip bomb's construction); nothing extracted";
            return 1;
        }
    }
    return 0;
}

}  // namespace orvane
