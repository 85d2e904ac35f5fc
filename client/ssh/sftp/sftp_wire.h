// SFTP version 3 on the wire: packet types, framing with its length limit, the attribute encoding
// and the parser of the server's replies. Everything here reads untrusted bytes and checks them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "client/ssh/ssh_buffer.h"
#include "client/transfer/session/remote_file_entry.h"

namespace orvane::sftp {

// Packet types.
enum PacketType : uint8_t {
    kInit = 1,
    kVersion = 2,
    kOpen = 3,
    kClose = 4,
    kRead = 5,
    kWrite = 6,
    kLstat = 7,  // also the STAT of version 0 servers
    kFstat = 8,
    kSetstat = 9,
    kOpendir = 11,
    kReaddir = 12,
    kRemove = 13,
    kMkdir = 14,
    kRmdir = 15,
    kRealpath = 16,
    kStat = 17,
    kRename = 18,
    kStatus = 101,
    kHandle = 102,
    kData = 103,
    kName = 104,
    kAttrs = 105,
};

// Status codes acted on; every other code is a failure.
inline constexpr uint32_t kStatusOk = 0;
inline constexpr uint32_t kStatusEof = 1;

// Open flags.
inline constexpr uint32_t kOpenRead = 0x01;
inline constexpr uint32_t kOpenWrite = 0x02;
inline constexpr uint32_t kOpenCreate = 0x08;
inline constexpr uint32_t kOpenTruncate = 0x10;

// Attribute flags.
inline constexpr uint32_t kAttrSize = 0x1;
inline constexpr uint32_t kAttrUidGid = 0x2;
inline constexpr uint32_t kAttrPermissions = 0x4;
inline constexpr uint32_t kAttrTimes = 0x8;
inline constexpr uint32_t kAttrExtended = 0x80000000u;

// The longest packet (type and fields) sent or accepted.
inline constexpr size_t kMaxPacket = 0x40000;
// The longest handle a server may give (the protocol allows 256 bytes).
inline constexpr size_t kMaxHandle = 256;

// Framing: takes one whole packet (without its length field) from the front of `in`, starting at
// `pos`, which advances past it.
enum class Frame : int { kNeedMore = 0, kPacket, kTooBig };
Frame take_packet(std::string_view in, size_t& pos, std::string_view& body);
// Appends the length field and the body built in `body`.
void put_packet(std::string& out, const ssh::SshBuffer& body);

// Attributes: decoded into an entry (flags, size, permissions, modification time, type); false when
// malformed. Encoded from the entry's flags (only SIZE, PERMISSIONS and ACMODTIME are written).
bool decode_attrs(ssh::SshBuffer& in, RemoteFileEntry& entry);
void encode_attrs(ssh::SshBuffer& out, const RemoteFileEntry& entry);

struct NameItem {
    std::string name;
    std::string long_name;
    RemoteFileEntry attrs;
};

// One reply from the server.
struct Reply {
    uint8_t type = 0;
    uint32_t id = 0;              // the request id (the version for VERSION)
    uint32_t status = 0;          // STATUS
    std::string message;          // STATUS message when present
    std::string bytes;            // HANDLE's handle, DATA's data
    std::vector<NameItem> names;  // NAME
    RemoteFileEntry attrs;        // ATTRS
};

// Parses a packet body. 0 when well formed; 1 with a reason in `why` otherwise (an unknown type,
// a short or overlong field, a NAME count that the packet cannot hold).
int parse_reply(std::string_view body, Reply& out, std::string& why);

}  // namespace orvane::sftp
