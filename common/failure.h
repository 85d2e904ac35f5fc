// Why a request failed, as a kind a caller can act on, beside the cause a person reads.
#pragma once

#include <array>
#include <string>
#include <utility>

namespace orvane {

// Who or what made the request fail. The integer results stay 0 and 1; the kind says whether a
// retry, a fix on the server, a fix here or a word from the user is what would help.
enum class FailureKind : int {
    kNone = 0,
    kRemote,    // the peer refused or ended it: a negative reply, a DISCONNECT, a closed connection
    kProtocol,  // the peer broke the protocol: an unreadable reply, a bad MAC, an oversized message
    kLocal,     // this side could not: a local file, a full queue, no TLS, a failed lookup or connect
    kUser,      // the user's own input or choice: a bad argument, a cancelled prompt, an unknown host key
    kTimeout,   // the peer did not answer in time
    kCount,
};
inline constexpr std::array<const char*, 6> kFailureKindNames = {"none",  "remote", "protocol",
                                                                 "local", "user",   "timeout"};
static_assert(kFailureKindNames.size() == static_cast<size_t>(FailureKind::kCount), "one name per kind");
inline const char* failure_kind_name(FailureKind kind) {
    auto i = static_cast<size_t>(kind);
    return i < kFailureKindNames.size() ? kFailureKindNames[i] : "unknown";
}

// The first failure of a request wins: later ones are usually its consequences.
struct Failure {
    FailureKind kind = FailureKind::kNone;
    std::string cause;

    void set(FailureKind k, std::string why) {
        if (kind != FailureKind::kNone) return;
        kind = k;
        cause = std::move(why);
    }
    // The cause from a logged message: its "ERROR: " tag says nothing the kind does not.
    void set_from_message(FailureKind k, const std::string& message) {
        set(k, message.rfind("ERROR: ", 0) == 0 ? message.substr(7) : message);
    }
    void clear() {
        kind = FailureKind::kNone;
        cause.clear();
    }
    explicit operator bool() const { return kind != FailureKind::kNone; }
};

}  // namespace orvane
