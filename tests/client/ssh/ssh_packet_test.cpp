// The packet layer: round trips for every cipher and MAC, compression, hostile packets, and
// known answers for the algorithms no local server offers.
#include <gtest/gtest.h>

#include <string>

#include "client/ssh/ssh_cipher.h"
#include "client/ssh/ssh_compress.h"
#include "client/ssh/ssh_transport.h"

namespace orvane::ssh {
namespace {

std::string unhex(std::string_view hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

SshDirectionKeys keys_for(const SshCipherSpec* cipher, const SshMacSpec* mac, CompressionKind compression) {
    SshDirectionKeys k;
    k.cipher = cipher;
    k.mac = is_aead(*cipher) ? nullptr : mac;
    k.compression = compression;
    for (size_t i = 0; i < cipher->key_length; ++i) k.key.push_back(static_cast<char>(i * 7 + 1));
    for (size_t i = 0; i < cipher->iv_length; ++i) k.iv.push_back(static_cast<char>(i * 13 + 5));
    if (k.mac) k.mac_key.assign(mac->digest_length, '\x42');
    return k;
}

// A sender and a receiver keyed alike.
struct Pair {
    SshTransport sender;
    SshTransport receiver;
    Pair(const SshCipherSpec* cipher, const SshMacSpec* mac,
         CompressionKind compression = CompressionKind::kNone) {
        sender.set_pending_keys(true, keys_for(cipher, mac, compression));
        receiver.set_pending_keys(false, keys_for(cipher, mac, compression));
        EXPECT_EQ(sender.activate_send_keys(false), 0) << sender.error_text();
        EXPECT_EQ(receiver.activate_receive_keys(false), 0) << receiver.error_text();
    }
    void carry() {
        receiver.input().put_bytes(sender.output().view());
        sender.output().clear();
    }
};

std::string message(size_t n, char number = 94) {
    std::string m(1, number);
    for (size_t i = 1; i < n; ++i) m.push_back(static_cast<char>(i * 31));
    return m;
}

TEST(SshPacket, RoundTripEveryCipherAndMac) {
    for (size_t c = 0; c < cipher_count(); ++c) {
        const SshCipherSpec* cipher = &cipher_at(c);
        if (cipher->kind == CipherKind::kNone) continue;
        for (size_t m = 0; m < mac_count(); ++m) {
            const SshMacSpec* mac = &mac_at(m);
            if (is_aead(*cipher) && m > 0) break;  // the MAC is not used
            SCOPED_TRACE(std::string(cipher->name) + " " + mac->name);
            Pair p(cipher, mac);
            SshBuffer payload(kMaxInflatedPayload + 64);
            for (size_t size : {1, 2, 15, 16, 17, 100, 1000, 32768}) {
                p.sender.send(message(size));
                std::string wire(p.sender.output().view());
                size_t trailer = is_aead(*cipher) ? cipher->tag_length : mac_length(*mac);
                // Whole blocks (the clear length aside for ETM and AEAD), at least 4 padding bytes.
                size_t aligned =
                    wire.size() - trailer - ((is_aead(*cipher) || mac->encrypt_then_mac) ? 4 : 0);
                EXPECT_EQ(aligned % std::max<size_t>(cipher->block_size, 8), 0u) << size;
                // Delivered in two parts: the reader waits for the rest.
                p.receiver.input().put_bytes(wire.substr(0, 3));
                EXPECT_EQ(p.receiver.read(payload), ReadStatus::kNone);
                p.receiver.input().put_bytes(wire.substr(3));
                p.sender.output().clear();
                ASSERT_EQ(p.receiver.read(payload), ReadStatus::kPacket) << p.receiver.error_text();
                EXPECT_EQ(payload.view(), message(size));
            }
        }
    }
}

TEST(SshPacket, CompressionBothWaysAndDelayed) {
    const SshCipherSpec* aes = find_cipher("aes128-ctr");
    const SshMacSpec* sha = find_mac("hmac-sha2-256");
    Pair zlib(aes, sha, CompressionKind::kZlib);
    EXPECT_TRUE(zlib.sender.compressing(true));
    SshBuffer payload(kMaxInflatedPayload + 64);
    std::string text(20000, 'z');
    for (int i = 0; i < 3; ++i) {
        zlib.sender.send(std::string(1, 94) + text);
        EXPECT_LT(zlib.sender.output().size(), 400u);  // compressed
        zlib.carry();
        ASSERT_EQ(zlib.receiver.read(payload), ReadStatus::kPacket) << zlib.receiver.error_text();
        EXPECT_EQ(payload.view(), std::string(1, 94) + text);
    }
    Pair delayed(aes, sha, CompressionKind::kZlibDelayed);
    EXPECT_FALSE(delayed.sender.compressing(true));
    delayed.sender.send(std::string(1, 94) + text);
    EXPECT_GT(delayed.sender.output().size(), 20000u);
    delayed.carry();
    ASSERT_EQ(delayed.receiver.read(payload), ReadStatus::kPacket);
    delayed.sender.start_delayed_compression();
    delayed.receiver.start_delayed_compression();
    delayed.sender.send(std::string(1, 94) + text);
    EXPECT_LT(delayed.sender.output().size(), 400u);
    delayed.carry();
    ASSERT_EQ(delayed.receiver.read(payload), ReadStatus::kPacket);
    EXPECT_EQ(payload.view(), std::string(1, 94) + text);
}

// A plaintext packet with the given length field and padding byte, the rest as given.
std::string raw_packet(uint32_t length, uint8_t padding, size_t body) {
    std::string p;
    for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<char>(length >> s));
    p.push_back(static_cast<char>(padding));
    p.append(body, '\x02');
    return p;
}

TEST(SshPacket, HostilePacketsAreBad) {
    struct Case {
        const char* name;
        std::string wire;
        ReadStatus expected;
        const char* cause;
    } cases[] = {
        {"length 262145", raw_packet(262145, 4, 8), ReadStatus::kBad, "out of range"},
        {"length 4", raw_packet(4, 4, 8), ReadStatus::kBad, "out of range"},
        {"length not block aligned", raw_packet(13, 4, 12), ReadStatus::kBad, "multiple of the block size"},
        {"padding 3", raw_packet(12, 3, 11), ReadStatus::kBad, "too short"},
        {"padding leaves no payload", raw_packet(12, 11, 11), ReadStatus::kBad, "no payload"},
        {"a long packet waits for its bytes", raw_packet(262140, 4, 3), ReadStatus::kNone, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SshTransport t;
        t.input().put_bytes(c.wire);
        SshBuffer payload(kMaxInflatedPayload + 64);
        EXPECT_EQ(t.read(payload), c.expected);
        EXPECT_NE(t.error_text().find(c.cause), std::string::npos) << t.error_text();
    }
    // 262144 is within range (in clear framing only the block alignment refuses it); the largest
    // aligned length is read.
    SshTransport t;
    t.input().put_bytes(raw_packet(262144, 4, 262143));
    SshBuffer payload(kMaxInflatedPayload + 64);
    EXPECT_EQ(t.read(payload), ReadStatus::kBad);
    EXPECT_EQ(t.error_text().find("out of range"), std::string::npos) << t.error_text();
    SshTransport largest;
    largest.input().put_bytes(raw_packet(262140, 4, 262139));
    EXPECT_EQ(largest.read(payload), ReadStatus::kPacket) << largest.error_text();
    EXPECT_EQ(payload.size(), 262135u);

    // A flipped bit anywhere in the packet or its MAC is caught, for every way of authenticating.
    for (const char* cipher :
         {"aes128-ctr", "aes128-gcm@openssh.com", "chacha20-poly1305@openssh.com", "aes256-cbc"}) {
        for (const char* mac : {"hmac-sha1", "hmac-sha2-256-etm@openssh.com"}) {
            SCOPED_TRACE(std::string(cipher) + " " + mac);
            Pair p(find_cipher(cipher), find_mac(mac));
            p.sender.send(message(50));
            std::string wire(p.sender.output().view());
            wire[wire.size() - 1] ^= 1;
            p.receiver.input().put_bytes(wire);
            EXPECT_EQ(p.receiver.read(payload), ReadStatus::kBad);
            EXPECT_NE(p.receiver.error_text().find("authentication"), std::string::npos)
                << p.receiver.error_text();
        }
    }
}

TEST(SshPacket, ExtraPaddingAndHeldBackMessages) {
    for (const char* name : {"3des-cbc", "aes128-cbc"}) {
        Pair p(find_cipher(name), find_mac("hmac-sha1"));
        p.sender.request_extra_padding(64);
        p.sender.send(message(40, 50));
        EXPECT_EQ((p.sender.output().size() - 20) % 64, 0u) << name;
    }
    SshTransport t;
    t.set_kex_in_progress(true);
    t.send(message(10, 94));
    t.send(message(10, 21));
    EXPECT_EQ(t.send_sequence(), 1u);  // only the key-exchange message went out
    t.set_kex_in_progress(false);
    EXPECT_EQ(t.send_sequence(), 2u);
}

TEST(SshPacket, RekeyLimits) {
    Pair small(find_cipher("blowfish-cbc"), find_mac("hmac-sha1"));
    Pair large(find_cipher("aes128-ctr"), find_mac("hmac-sha1"));
    small.sender.set_rekey_byte_limit(4096);
    for (int i = 0; i < 5; ++i) small.sender.send(message(1000));
    EXPECT_TRUE(small.sender.rekey_due());
    for (int i = 0; i < 5; ++i) large.sender.send(message(1000));
    EXPECT_FALSE(large.sender.rekey_due());
}

// Vectors computed with the openssl command line and Python's zlib (key 000102..0f, IV
// f0e0d0c0b0a09080, plaintext bytes 0..31).
TEST(SshPacket, KnownAnswers) {
    std::string key = unhex("000102030405060708090a0b0c0d0e0f");
    std::string iv = unhex("f0e0d0c0b0a09080");
    struct Case {
        const char* cipher;
        const char* expected;
    } cases[] = {
        {"blowfish-cbc", "7c25d90f2d692d8c6b6cd2882d832dca1750a5140f20f8d41c3ddbea5c689903"},
        {"cast128-cbc", "18da4faf1ca1a67436558f0f5433ef724dbcf5ea7df6db49c31f62a7d7c73c6c"},
        {"arcfour", "e99d42fa43e71fcb0ed29dcd02d02440c360934ce6a254f99787bfc2e52afd1d"},
    };
    for (const Case& c : cases) {
        PacketCipher cipher;
        std::string error;
        ASSERT_EQ(cipher.init(*find_cipher(c.cipher), key, iv, true, error), 0) << error;
        std::string data;
        for (int i = 0; i < 32; ++i) data.push_back(static_cast<char>(i));
        ASSERT_EQ(cipher.crypt(reinterpret_cast<uint8_t*>(data.data()), data.size()), 0);
        EXPECT_EQ(hex(data), c.expected) << c.cipher;
    }
    PacketMac mac;
    std::string error;
    ASSERT_EQ(mac.init(*find_mac("hmac-ripemd160"), key + key, error), 0) << error;
    uint8_t out[64];
    std::string data = "packet data for the mac";
    ASSERT_EQ(mac.compute(7, reinterpret_cast<const uint8_t*>(data.data()), data.size(), out), 0);
    EXPECT_EQ(hex(std::string_view(reinterpret_cast<char*>(out), 20)),
              "03959c910c6ee310c7bded9fa6da45f1f1377311");

    // Plain zlib, two packets sharing one stream.
    Deflater deflater;
    SshBuffer z;
    std::string first = "\x5ehello hello hello zlib", second = "\x5ehello again, hello";
    ASSERT_EQ(deflater.compress(reinterpret_cast<const uint8_t*>(first.data()), first.size(), z, error), 0);
    EXPECT_EQ(hex(z.view()), "789c8acb48cdc9c9574026ab7232930002");
    z.clear();
    ASSERT_EQ(deflater.compress(reinterpret_cast<const uint8_t*>(second.data()), second.size(), z, error), 0);
    EXPECT_EQ(hex(z.view()), "280ec24c4c4fccccd381880304");
    Inflater inflater;
    SshBuffer plain;
    std::string a = unhex("789c8acb48cdc9c9574026ab7232930002"), b = unhex("280ec24c4c4fccccd381880304");
    ASSERT_EQ(inflater.decompress(reinterpret_cast<const uint8_t*>(a.data()), a.size(), plain, 1000, error),
              0);
    ASSERT_EQ(inflater.decompress(reinterpret_cast<const uint8_t*>(b.data()), b.size(), plain, 1000, error),
              0);
    EXPECT_EQ(plain.view(), first + second);
    // A bomb stops at the limit.
    Deflater big;
    SshBuffer bomb;
    std::string zeros(1 << 20, '\0');
    big.compress(reinterpret_cast<const uint8_t*>(zeros.data()), zeros.size(), bomb, error);
    Inflater small;
    SshBuffer out2(8u << 20);
    EXPECT_EQ(small.decompress(bomb.data(), bomb.size(), out2, kMaxInflatedPayload, error), 1);
    EXPECT_NE(error.find("too large"), std::string::npos);
}

}  // namespace
}  // namespace orvane::ssh
