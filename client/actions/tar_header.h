// The tar header block: name (with the POSIX prefix), size, time and type, checked by its checksum;
// numbers in octal or GNU's base-256 form; and the pax extended records that carry long names and
// sizes. Pure functions over bytes from an untrusted archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane {

inline constexpr size_t kTarBlock = 512;

struct TarHeader {
    std::string name;  // name field up to its first zero byte, after the ustar prefix and a "/"
    uint64_t size = 0;
    int64_t mtime = 0;  // seconds since 1970
    char type = '0';    // the type flag; a zero byte reads as '0'
};

enum class TarBlockKind : int {
    kHeader,  // a member header
    kEnd,     // the end of the archive: the name begins with a zero byte
    kBad,     // not a header: wrong checksum or a number that cannot be read
};

// Reads one 512-byte block.
TarBlockKind read_tar_header(const uint8_t* block, TarHeader& header);

// A number field: octal text (leading spaces skipped, ended by a zero byte or a space) or, when
// the first byte has its high bit set, a big-endian binary number. False when the field holds
// anything else or a negative or over-large value.
bool read_tar_number(const uint8_t* field, size_t size, uint64_t& value);

// The records of a pax extended header ("LEN key=value\n" each) that this reader uses: "path",
// "size" and "mtime" (its whole seconds). False when the records are malformed; the values found
// before the fault are kept.
struct PaxValues {
    bool has_path = false;
    std::string path;
    bool has_size = false;
    uint64_t size = 0;
    bool has_mtime = false;
    int64_t mtime = 0;
};
bool read_pax_records(std::string_view data, PaxValues& values);

}  // namespace orvane
