// SFTP framing, attributes and reply parsing over SshBuffer's checked readers.
#include "client/ssh/sftp/sftp_wire.h"

#include <cstdio>

#include "common/big_endian.h"

namespace orvane::sftp {

Frame take_packet(std::string_view in, size_t& pos, std::string_view& body) {
    if (in.size() - pos < 4) return Frame::kNeedMore;
    uint32_t length = load_be32(in.data() + pos);
    if (length > kMaxPacket) return Frame::kTooBig;
    if (in.size() - pos - 4 < length) return Frame::kNeedMore;
    body = in.substr(pos + 4, length);
    pos += 4 + length;
    return Frame::kPacket;
}

void put_packet(std::string& out, const ssh::SshBuffer& body) {
    uint32_t n = static_cast<uint32_t>(body.size());
    char head[4];
    store_be32(head, n);
    out.append(head, 4);
    out.append(body.view());
}

bool decode_attrs(ssh::SshBuffer& in, RemoteFileEntry& entry) {
    uint32_t flags = in.get_u32();
    entry.sftp_flags = flags;
    if (flags & kAttrSize) entry.size = in.get_u64();
    if (flags & kAttrUidGid) {
        in.get_u32();
        in.get_u32();
    }
    if (flags & kAttrPermissions) entry.permissions = in.get_u32();
    if (flags & kAttrTimes) {
        in.get_u32();
        entry.unix_time = in.get_u32();
    }
    if (flags & kAttrExtended) {
        uint32_t count = in.get_u32();
        // Each pair takes at least its two length fields: a count the rest cannot hold is a lie.
        if (count > in.size() / 8) return false;
        for (uint32_t i = 0; i < count && in.ok(); ++i) {
            in.get_string();
            in.get_string();
        }
    }
    entry.type =
        (flags & kAttrPermissions) && (entry.permissions & 0xF000) == 0x4000 ? kEntryFolder : kEntryFile;
    return in.ok();
}

void encode_attrs(ssh::SshBuffer& out, const RemoteFileEntry& entry) {
    uint32_t flags = entry.sftp_flags & (kAttrSize | kAttrPermissions | kAttrTimes);
    out.put_u32(flags);
    if (flags & kAttrSize) out.put_u64(entry.size);
    if (flags & kAttrPermissions) out.put_u32(entry.permissions);
    if (flags & kAttrTimes) {
        out.put_u32(entry.unix_time);
        out.put_u32(entry.unix_time);
    }
}

namespace {

int fail(std::string& why, const char* text) {
    why = text;
    return 1;
}

int parse_names(ssh::SshBuffer& in, Reply& out, std::string& why) {
    uint32_t count = in.get_u32();
    // An entry is at least two strings and a flags word: 12 bytes.
    if (count > in.size() / 12) {
        char text[96];
        std::snprintf(text, sizeof text, "a NAME reply counts %u entries that it cannot hold", count);
        why = text;
        return 1;
    }
    out.names.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        NameItem item;
        item.name = in.get_string();
        item.long_name = in.get_string();
        if (!decode_attrs(in, item.attrs) || !in.ok()) return fail(why, "a NAME reply is malformed");
        out.names.push_back(std::move(item));
    }
    return 0;
}

}  // namespace

int parse_reply(std::string_view body, Reply& out, std::string& why) {
    ssh::SshBuffer in(body, kMaxPacket + 16);
    out = Reply{};
    out.type = in.get_byte();
    out.id = in.get_u32();
    if (!in.ok()) return fail(why, "a reply is shorter than its header");
    switch (out.type) {
        case kVersion:
            return 0;  // extension pairs are ignored
        case kStatus:
            out.status = in.get_u32();
            if (!in.ok()) return fail(why, "a STATUS reply is malformed");
            if (!in.empty()) {
                out.message = in.get_string(1024);
                if (!in.ok()) out.message.clear();  // the message is optional and only informative
            }
            return 0;
        case kHandle:
            out.bytes = in.get_string(kMaxHandle);
            return in.ok() ? 0 : fail(why, "a HANDLE reply is malformed");
        case kData:
            out.bytes = in.get_string();
            return in.ok() ? 0 : fail(why, "a DATA reply is malformed");
        case kName:
            return parse_names(in, out, why);
        case kAttrs:
            return decode_attrs(in, out.attrs) ? 0 : fail(why, "an ATTRS reply is malformed");
        default: {
            char text[64];
            std::snprintf(text, sizeof text, "a reply of unknown type %u", out.type);
            why = text;
            return 1;
        }
    }
}

}  // namespace orvane::sftp
