// Tar header fields and pax records.
#include "client/actions/tar_header.h"

#include <cstring>

#include "common/text.h"

namespace orvane {
namespace {

constexpr size_t kNameField = 0, kNameSize = 100;
constexpr size_t kSizeField = 124, kTimeField = 136, kNumberSize = 12;
constexpr size_t kSumField = 148, kSumSize = 8;
constexpr size_t kTypeField = 156;
constexpr size_t kMagicField = 257;
constexpr size_t kPrefixField = 345, kPrefixSize = 155;

std::string field_text(const uint8_t* field, size_t size) {
    const char* text = reinterpret_cast<const char*>(field);
    return std::string(text, strnlen(text, size));
}

// The checksum: the bytes summed with the checksum field read as spaces. Old tars summed signed
// bytes, so either sum is accepted.
bool checksum_matches(const uint8_t* block) {
    uint64_t stored = 0;
    if (!read_tar_number(block + kSumField, kSumSize, stored)) return false;
    int64_t unsigned_sum = 0, signed_sum = 0;
    for (size_t i = 0; i < kTarBlock; ++i) {
        bool in_sum = i >= kSumField && i < kSumField + kSumSize;
        uint8_t b = in_sum ? ' ' : block[i];
        unsigned_sum += b;
        signed_sum += static_cast<int8_t>(b);
    }
    return static_cast<int64_t>(stored) == unsigned_sum || static_cast<int64_t>(stored) == signed_sum;
}

}  // namespace

bool read_tar_number(const uint8_t* field, size_t size, uint64_t& value) {
    value = 0;
    if (size > 0 && (field[0] & 0x80)) {
        if (field[0] & 0x40) return false;  // negative
        uint64_t v = field[0] & 0x3f;
        for (size_t i = 1; i < size; ++i) {
            if (v > (UINT64_MAX >> 9)) return false;
            v = (v << 8) | field[i];
        }
        value = v;
        return v <= static_cast<uint64_t>(INT64_MAX);
    }
    size_t i = 0;
    while (i < size && field[i] == ' ') ++i;
    for (; i < size && field[i] != 0 && field[i] != ' '; ++i) {
        if (field[i] < '0' || field[i] > '7') return false;
        if (value > (static_cast<uint64_t>(INT64_MAX) >> 3)) return false;
        value = value * 8 + (field[i] - '0');
    }
    return true;
}

TarBlockKind read_tar_header(const uint8_t* block, TarHeader& header) {
    if (block[kNameField] == 0) return TarBlockKind::kEnd;
    if (!checksum_matches(block)) return TarBlockKind::kBad;
    uint64_t size = 0, mtime = 0;
    if (!read_tar_number(block + kSizeField, kNumberSize, size)) return TarBlockKind::kBad;
    if (!read_tar_number(block + kTimeField, kNumberSize, mtime)) mtime = 0;  // a time is no reason to stop
    header.size = size;
    header.mtime = static_cast<int64_t>(mtime);
    header.type = block[kTypeField] == 0 ? '0' : static_cast<char>(block[kTypeField]);
    header.name = field_text(block + kNameField, kNameSize);
    // POSIX ustar ("ustar" and a zero byte) keeps the start of a long name in the prefix field;
    // GNU's own magic ("ustar  ") uses those bytes for other things.
    if (memcmp(block + kMagicField, "ustar", 6) == 0) {
        std::string prefix = field_text(block + kPrefixField, kPrefixSize);
        if (!prefix.empty()) header.name = prefix + "/" + header.name;
    }
    return TarBlockKind::kHeader;
}

bool read_pax_records(std::string_view data, PaxValues& values) {
    while (!data.empty()) {
        size_t digits = leading_digits(data);
        uint64_t length = 0;
        if (digits == 0 || digits >= data.size() || data[digits] != ' ' ||
            !parse_decimal(data.substr(0, digits), length) || length <= digits + 1 || length > data.size())
            return false;
        std::string_view record = data.substr(digits + 1, length - digits - 1);
        data.remove_prefix(length);
        if (record.empty() || record.back() != '\n') return false;
        record.remove_suffix(1);
        size_t equals = record.find('=');
        if (equals == std::string_view::npos) return false;
        std::string_view key = record.substr(0, equals), value = record.substr(equals + 1);
        uint64_t number = 0;
        if (key == "path") {
            values.has_path = true;
            values.path = std::string(value);
        } else if (key == "size") {
            if (!parse_decimal(value, number) || number > static_cast<uint64_t>(INT64_MAX)) return false;
            values.has_size = true;
            values.size = number;
        } else if (key == "mtime") {
            if (parse_decimal(digit_prefix(value), number) && number <= static_cast<uint64_t>(INT64_MAX)) {
                values.has_mtime = true;
                values.mtime = static_cast<int64_t>(number);
            }
        }
    }
    return true;
}

}  // namespace orvane
