// Identification lines: reading, parsing, deciding.
#include "client/ssh/ssh_version.h"

#include "common/safe_name.h"
#include "common/text.h"

namespace orvane::ssh {

VersionLine next_version_line(std::string_view waiting) {
    VersionLine line;
    size_t lf = waiting.find('\n');
    if (lf == std::string_view::npos) {
        if (waiting.size() > kMaxVersionLine) line.kind = VersionLineKind::kTooLong;
        return line;
    }
    if (lf > kMaxVersionLine) {
        line.kind = VersionLineKind::kTooLong;
        return line;
    }
    std::string_view text = waiting.substr(0, lf);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    line.consumed = lf + 1;
    line.text = std::string(text);
    line.kind = istarts_with(text, "SSH-") ? VersionLineKind::kIdentification : VersionLineKind::kBanner;
    return line;
}

namespace {

// The pattern matched at one position.
bool match_at(std::string_view s, Identification& out) {
    if (!istarts_with(s, "SSH-")) return false;
    s.remove_prefix(4);
    std::string_view major = digit_prefix(s);
    if (major.empty() || major.size() >= s.size() || s[major.size()] != '.') return false;
    s.remove_prefix(major.size() + 1);
    std::string_view minor = digit_prefix(s);
    if (minor.empty() || minor.size() >= s.size() || s[minor.size()] != '-') return false;
    s.remove_prefix(minor.size() + 1);
    size_t end = s.find_first_of(" $");
    std::string_view software = s.substr(0, end);
    if (software.empty()) return false;
    s.remove_prefix(software.size());
    if (!s.empty() && s[0] == ' ') s.remove_prefix(1);
    std::string_view comments = s.substr(0, s.find('$'));
    uint64_t value = 0;
    // Saturating: an absurd version number is simply not 1 or 2.
    value = parse_decimal_prefix_saturating(major, UINT32_MAX);
    out.major = static_cast<uint32_t>(value);
    value = parse_decimal_prefix_saturating(minor, UINT32_MAX);
    out.minor = static_cast<uint32_t>(value);
    out.software = software.size() > kMaxCapture ? std::string() : std::string(software);
    out.comments = comments.size() > kMaxCapture ? std::string() : std::string(comments);
    return true;
}

}  // namespace

bool parse_identification(std::string_view line, Identification& out) {
    // The pattern is searched for, as a regular expression would be.
    for (size_t at = 0; at + 4 <= line.size(); ++at) {
        if (match_at(line.substr(at), out)) return true;
    }
    return false;
}

VersionDecision decide_version(const Identification& id) {
    VersionDecision d;
    if (id.major == 2 || (id.major == 1 && id.minor == 99)) {
        d.ssh2 = true;
        d.answer = kClientIdentification;
    } else if (id.major == 1 && id.minor < 3) {
        d.error = kErrorVersionTooOld;
    } else if (id.major == 1) {
        d.answer = format("SSH-%d.%d-%s", 1, id.minor <= 4 ? 3 : 5, kClientSoftware);
    } else {
        d.error = kErrorIdentificationFormat;
    }
    return d;
}

std::string printable(std::string_view text, size_t limit) {
    if (text.size() <= limit) return escape_controls(text);
    return escape_controls(text.substr(0, limit)) + "...";
}

}  // namespace orvane::ssh
