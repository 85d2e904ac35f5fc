// The real FTP servers the session tests run against, each in passive and in active mode.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/ftp_servers.h"

namespace orvane::test {

struct ServerMode {
    FtpServerKind kind;
    bool passive;
};

inline std::string server_mode_name(const testing::TestParamInfo<ServerMode>& info) {
    return std::string(info.param.kind == FtpServerKind::kVsftpd ? "vsftpd" : "pyftpdlib") +
           (info.param.passive ? "Passive" : "Active");
}

inline auto every_server_mode() {
    return testing::Values(
        ServerMode{FtpServerKind::kVsftpd, true}, ServerMode{FtpServerKind::kVsftpd, false},
        ServerMode{FtpServerKind::kPyftpdlib, true}, ServerMode{FtpServerKind::kPyftpdlib, false});
}

}  // namespace orvane::test
