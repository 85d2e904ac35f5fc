// Fuzzes the SFTP attribute decoder; what it decodes must encode and decode to the same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/ssh/sftp/sftp_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    orvane::ssh::SshBuffer in(std::string_view(reinterpret_cast<const char*>(data), size));
    orvane::RemoteFileEntry e;
    if (!orvane::sftp::decode_attrs(in, e)) return 0;
    orvane::ssh::SshBuffer out;
    orvane::sftp::encode_attrs(out, e);
    orvane::RemoteFileEntry again;
    if (!orvane::sftp::decode_attrs(out, again) || !out.empty()) abort();
    const uint32_t kept = orvane::sftp::kAttrSize | orvane::sftp::kAttrPermissions | orvane::sftp::kAttrTimes;
    if (again.sftp_flags != (e.sftp_flags & kept)) abort();
    if (((e.sftp_flags & orvane::sftp::kAttrSize) && again.size != e.size) ||
        ((e.sftp_flags & orvane::sftp::kAttrPermissions) && again.permissions != e.permissions) ||
        ((e.sftp_flags & orvane::sftp::kAttrTimes) && again.unix_time != e.unix_time) || again.type != e.type)
        abort();
    return 0;
}
