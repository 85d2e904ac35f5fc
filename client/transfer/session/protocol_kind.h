// Protocol kinds of a session, fixed when the session is created.
#pragma once

namespace orvane {

enum ProtocolKind : int {
    kProtocolFtp = 100,
    kProtocolSftp = 101,
    kProtocolFtpsProtected = 102,  // FTPS, protected data channel
    kProtocolFtpsClear = 103,      // FTPS, clear data channel
};

inline constexpr int kProtocolKindFirst = kProtocolFtp;
inline constexpr int kProtocolKindCount = 4;

inline bool is_protocol_kind(int kind) {
    return kind >= kProtocolFtp && kind <= kProtocolFtpsClear;
}
inline bool is_ftp_kind(int kind) {
    return kind == kProtocolFtp || kind == kProtocolFtpsProtected || kind == kProtocolFtpsClear;
}

}  // namespace orvane
