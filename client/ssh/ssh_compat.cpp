// The peer compatibility table and its pattern lists.
#include "client/ssh/ssh_compat.h"

namespace orvane::ssh {

namespace {

constexpr size_t kMaxPattern = 1022;

struct CompatRow {
    const char* patterns;
    uint32_t flags;
};

constexpr uint32_t kSsh2_1 =
    kRawDssSignature | kShortMacKey | kRawSessionId | kRsaSignatureMd5 | kIgnoreFirstKexGuess;
constexpr uint32_t kSsh2_0_13 = kSsh2_1 | kUserauthServiceSigned;
constexpr uint32_t kSsh2_0_11 = kSsh2_0_13 | kShortPublickeyRequest;
constexpr uint32_t kSsh2_0 = kSsh2_0_11 | kKeysWithoutSecret;

constexpr CompatRow kCompatTable[] = {
    {"OpenSSH-2.0*,OpenSSH-2.1*,OpenSSH_2.1*,OpenSSH_2.2*",
     kRawSessionId | kOldGroupExchange | kNoPacketLimit},
    {"OpenSSH_2.3.0*", kNoAesCiphers | kOldGroupExchange | kNoPacketLimit},
    {"OpenSSH_2.3.*", kNoAesCiphers | kOldGroupExchange | kNoPacketLimit},
    {"OpenSSH_2.5.0p1*,OpenSSH_2.5.1p1*", kNoAesCiphers | kOldGroupExchange | kNoPacketLimit},
    {"OpenSSH_2.5.0*,OpenSSH_2.5.1*,OpenSSH_2.5.2*", kOldGroupExchange | kNoPacketLimit},
    {"OpenSSH_2.5.3*", kNoPacketLimit},
    {"OpenSSH_2.*,OpenSSH_3.0*,OpenSSH_3.1*", 0},
    {"OpenSSH_3.*", 0},
    {"Sun_SSH_1.0*", kNoPacketLimit},
    {"OpenSSH*", 0},
    {"*MindTerm*", 0},
    {"2.1.0*", kSsh2_1},
    {"2.1 *", kSsh2_1},
    {"2.0.13*,2.0.14*,2.0.15*,2.0.16*,2.0.17*,2.0.18*,2.0.19*", kSsh2_0_13},
    {"2.0.11*,2.0.12*", kSsh2_0_11},
    {"2.0.*", kSsh2_0},
    {"2.2.0*,2.3.0*", kShortMacKey | kRsaSignatureMd5 | kIgnoreFirstKexGuess},
    {"2.3.*", kRsaSignatureMd5 | kIgnoreFirstKexGuess},
    {"2.4", kRawSessionId},
    {"2.*", kIgnoreFirstKexGuess},
    {"3.0.*", 0},
    {"3.0 SecureCRT*", kRawSessionId},
    {"1.7 SecureFX*", kRawSessionId},
    {"1.2.18*,1.2.19*,1.2.20*,1.2.21*,1.2.22*", 0},
    {"1.3.2*", 0},
    {"*SSH Compatible Server*", 0},
    {"*OSU_0*,OSU_1.0*,OSU_1.1*,OSU_1.2*,OSU_1.3*,OSU_1.4*,OSU_1.5alpha1*,OSU_1.5alpha2*,OSU_1.5alpha3*", 0},
    {"*SSH_Version_Mapper*", 0},
    {"Probe-*", 0},
};
static_assert(sizeof kCompatTable / sizeof kCompatTable[0] == 29, "the designed table has 29 rows");

// Wildcard match of the whole text; iterative with one backtrack point, so no input can make
// it slow.
bool match_pattern(std::string_view pattern, std::string_view text) {
    size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace

bool match_pattern_list(std::string_view list, std::string_view text) {
    bool matched = false;
    while (true) {
        size_t comma = list.find(',');
        std::string_view pattern = list.substr(0, comma);
        if (pattern.size() > kMaxPattern) return false;
        bool negated = !pattern.empty() && pattern[0] == '!';
        if (negated) pattern.remove_prefix(1);
        if (match_pattern(pattern, text)) {
            if (negated) return false;
            matched = true;
        }
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return matched;
}

uint32_t compat_flags_for(std::string_view software_version) {
    for (const CompatRow& row : kCompatTable)
        if (match_pattern_list(row.patterns, software_version)) return row.flags;
    return 0;
}

}  // namespace orvane::ssh
