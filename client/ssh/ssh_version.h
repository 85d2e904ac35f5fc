// The identification lines of the version exchange: reading the server's lines (banner lines,
// then the identification), parsing the identification and deciding the protocol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane::ssh {

inline constexpr const char* kClientSoftware = "FendrelSSH_1.0";
inline constexpr const char* kClientIdentification = "SSH-2.0-FendrelSSH_1.0";
inline constexpr size_t kMaxVersionLine = 1024;    // bytes before the LF
inline constexpr size_t kMaxIdentification = 255;  // characters of the identification line
inline constexpr size_t kMaxCapture = 390;         // a longer field is taken as empty
inline constexpr size_t kMaxBannerLines = 1024;    // lines a server may send before it

// Session error codes of the version exchange.
inline constexpr int kErrorIdentificationTooLong = 1;
inline constexpr int kErrorIdentificationFormat = 2;
inline constexpr int kErrorVersionTooOld = 3;

enum class VersionLineKind { kNeedMore, kBanner, kIdentification, kTooLong };

struct VersionLine {
    VersionLineKind kind = VersionLineKind::kNeedMore;
    size_t consumed = 0;  // bytes of the line with its end
    std::string text;     // without LF and one CR before it
};

// The first line in the bytes waiting: a line ends at LF; one that does not begin with "SSH-"
// (any case) is a banner line.
VersionLine next_version_line(std::string_view waiting);

struct Identification {
    uint32_t major = 0;
    uint32_t minor = 0;
    std::string software;  // the software version field (never holds a blank)
    std::string comments;
};

// Matches "SSH-<major>.<minor>-<software>[ <comments>]" (the prefix in any case; fields end at
// "$"). True on a match.
bool parse_identification(std::string_view line, Identification& out);

struct VersionDecision {
    int error = 0;  // 0, or one of the codes above
    bool ssh2 = false;
    std::string answer;  // our identification, without CR LF
};
VersionDecision decide_version(const Identification& id);

// Text from a server made safe for a terminal or a log: control characters as "\xNN" (the one
// escaper of common/safe_name.h), cut to `limit` bytes with "..." after.
std::string printable(std::string_view text, size_t limit = 512);

}  // namespace orvane::ssh
