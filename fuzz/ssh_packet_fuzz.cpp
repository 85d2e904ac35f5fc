// Fuzzes the SSH packet layer after decryption: framing, padding, lengths, decompression, with
// the MAC check off. The first byte picks the framing (plain, zlib, MAC, encrypt-then-MAC) and
// how the input is split.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/ssh/ssh_transport.h"

using namespace orvane::ssh;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint8_t mode = data[0] & 3;
    size_t chunk = (data[0] >> 2) * 61 + 1;
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

    SshTransport transport;
    if (mode != 0) {
        SshDirectionKeys keys;
        keys.cipher = null_cipher();
        keys.compression = mode == 1 ? CompressionKind::kZlib : CompressionKind::kNone;
        if (mode >= 2) {
            keys.mac = find_mac(mode == 2 ? "hmac-sha1" : "hmac-sha2-256-etm@openssh.com");
            keys.mac_key.assign(32, 'k');
        }
        transport.set_pending_keys(false, std::move(keys));
        if (transport.activate_receive_keys(false) != 0) abort();
        transport.set_skip_mac_check(true);
    }
    SshBuffer payload(kMaxInflatedPayload + 64);
    for (size_t at = 0; at < input.size(); at += chunk) {
        transport.input().put_bytes(input.substr(at, chunk));
        for (;;) {
            ReadStatus status = transport.read(payload);
            if (status == ReadStatus::kBad) return 0;
            if (status == ReadStatus::kNone) break;
            if (payload.empty() || payload.size() > kMaxInflatedPayload) abort();
        }
    }
    return 0;
}
