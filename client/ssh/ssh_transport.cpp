// The binary packet protocol: making packets, reading them, and switching keys.
#include "client/ssh/ssh_transport.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

#include "client/ssh/ssh_messages.h"
#include "common/big_endian.h"
#include "common/secret.h"
#include "common/text.h"

namespace orvane::ssh {

namespace {

constexpr size_t kOutputLimit = 8u << 20;
constexpr size_t kPacketBufferLimit = kMaxPacketLength + 4 + 64;
constexpr uint64_t kRekeyBytesLargeBlock = kRekeyBlocksLargeBlock * 16;

bool small_block(const SshCipherSpec& c) {
    return (c.kind == CipherKind::kBlock || c.kind == CipherKind::kStream) && c.block_size < 16;
}

}  // namespace

SshDirectionKeys::~SshDirectionKeys() {
    wipe_secret(key);
    wipe_secret(iv);
    wipe_secret(mac_key);
}

SshTransport::SshTransport()
    : input_(2 * kPacketBufferLimit + 4096),
      output_(kOutputLimit),
      incoming_(kPacketBufferLimit),
      outgoing_(kPacketBufferLimit + 255) {
    send_.keys.cipher = null_cipher();
    receive_.keys.cipher = null_cipher();
    std::string unused;
    send_.cipher = std::make_unique<PacketCipher>();
    receive_.cipher = std::make_unique<PacketCipher>();
    send_.cipher->init(*null_cipher(), {}, {}, true, unused);
    receive_.cipher->init(*null_cipher(), {}, {}, false, unused);
}

SshTransport::~SshTransport() {
    for (std::string& h : held_) wipe_secret(h);
}

size_t SshTransport::block_size(const Direction& d) const {
    return std::max<size_t>(d.keys.cipher->block_size, 8);
}

void SshTransport::count(Direction& d, size_t packet_bytes) {
    d.sequence += 1;
    d.packets += 1;
    d.blocks += packet_bytes / block_size(d);
    d.bytes_since_keys += packet_bytes;
    d.packets_since_keys += 1;
}

int SshTransport::send(std::string_view payload) {
    if (failed_) return 1;
    if (payload.empty()) {
        error_text_ = "empty payload";
        failed_ = true;
        return 1;
    }
    uint8_t number = uint8_t(payload[0]);
    if (kex_in_progress_ && (number == 0 || number >= msg::kUserauthFirst)) {
        held_bytes_ += payload.size();
        if (held_bytes_ > kHeldBackLimit) {
            error_text_ = "too much data held back during key exchange";
            failed_ = true;
            return 1;
        }
        held_.emplace_back(payload);
        return 0;
    }
    return emit(payload);
}

int SshTransport::set_kex_in_progress(bool running) {
    kex_in_progress_ = running;
    if (running) return 0;
    int status = 0;
    while (!held_.empty()) {
        if (status == 0) status = emit(held_.front());
        wipe_secret(held_.front());
        held_.pop_front();
    }
    held_bytes_ = 0;
    return status;
}

void SshTransport::discard_held() {
    for (std::string& h : held_) wipe_secret(h);
    held_.clear();
    held_bytes_ = 0;
}

int SshTransport::emit(std::string_view payload) {
    Direction& d = send_;
    const SshCipherSpec& cipher = *d.keys.cipher;
    size_t block = block_size(d);
    bool aead = is_aead(cipher);
    bool etm = d.mac && d.mac->spec().encrypt_then_mac;
    // With encrypt-then-MAC and AEAD the length field stays outside the encrypted blocks.
    size_t aad = (aead || etm) ? 4 : 0;

    outgoing_.clear();
    outgoing_.put_u32(0);
    outgoing_.put_byte(0);
    if (d.compress) {
        if (deflater_.compress(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), outgoing_,
                               error_text_) != 0) {
            failed_ = true;
            return 1;
        }
    } else {
        outgoing_.put_bytes(payload);
    }
    size_t len = outgoing_.size();
    size_t padding = block - ((len - aad) % block);
    if (padding < 4) padding += block;
    if (extra_padding_ > 0) {
        size_t unit = (extra_padding_ + block - 1) / block * block;
        size_t extra = unit - ((len + padding - aad) % unit);
        if (padding + extra <= 255) padding += extra;
        extra_padding_ = 0;
    }
    uint8_t pad[255] = {};
    if (cipher.kind != CipherKind::kNone && RAND_bytes(pad, static_cast<int>(padding)) != 1) {
        error_text_ = "no random bytes for padding";
        failed_ = true;
        return 1;
    }
    outgoing_.put_bytes(pad, padding);
    if (!outgoing_.ok()) {
        error_text_ = "outgoing packet too large";
        failed_ = true;
        return 1;
    }
    uint8_t* p = outgoing_.mutable_data();
    size_t n = outgoing_.size();
    store_be32(p, static_cast<uint32_t>(n - 4));
    p[4] = static_cast<uint8_t>(padding);

    uint8_t trailer[EVP_MAX_MD_SIZE];
    size_t trailer_length = 0;
    int status = 0;
    if (aead) {
        trailer_length = cipher.tag_length;
        status = d.cipher->seal(d.sequence, p, n, trailer);
    } else if (etm) {
        trailer_length = d.mac->length();
        status = d.cipher->crypt(p + 4, n - 4) != 0 || d.mac->compute(d.sequence, p, n, trailer) != 0;
    } else {
        if (d.mac) {
            trailer_length = d.mac->length();
            status = d.mac->compute(d.sequence, p, n, trailer);
        }
        if (status == 0) status = d.cipher->crypt(p, n);
    }
    if (status != 0) {
        error_text_ = std::string("encryption failed (") + cipher.name + ")";
        failed_ = true;
        return 1;
    }
    output_.put_bytes(p, n);
    output_.put_bytes(trailer, trailer_length);
    outgoing_.clear();
    if (!output_.ok()) {
        error_text_ = "too many packets waiting for the network";
        failed_ = true;
        return 1;
    }
    count(d, n);
    return 0;
}

ReadStatus SshTransport::bad(std::string cause) {
    read_failed_ = true;
    error_text_ = std::move(cause);
    incoming_.clear();
    return ReadStatus::kBad;
}

ReadStatus SshTransport::read(SshBuffer& payload) {
    if (read_failed_) return ReadStatus::kBad;
    Direction& d = receive_;
    const SshCipherSpec& cipher = *d.keys.cipher;
    size_t block = block_size(d);
    bool aead = is_aead(cipher);
    bool etm = d.mac && d.mac->spec().encrypt_then_mac;
    size_t mac_length = aead ? cipher.tag_length : d.mac ? d.mac->length() : 0;
    bool clear_length = aead || etm;

    uint32_t length = pending_length_;
    if (length == 0) {
        // The length field: in clear (ETM, GCM), under its own key (chacha20-poly1305), or in
        // the first encrypted block.
        if (input_.size() < (clear_length ? 4 : block)) return ReadStatus::kNone;
        const uint8_t* p = input_.data();
        if (cipher.kind == CipherKind::kChaChaPoly) {
            length = d.cipher->chacha_length(d.sequence, p);
        } else if (clear_length) {
            length = load_be32(p);
        } else {
            incoming_.clear();
            incoming_.put_bytes(p, block);
            input_.consume(block);
            if (d.cipher->crypt(incoming_.mutable_data(), block) != 0) return bad("decryption failed");
            length = load_be32(incoming_.data());
        }
        if (length < 5 || length > kMaxPacketLength)
            return bad(format("packet length %u out of range", static_cast<unsigned>(length)));
        size_t aligned = clear_length ? length : 4 + size_t(length);
        if (aligned % block != 0)
            return bad(format("packet length %u is not a multiple of the block size %zu",
                              static_cast<unsigned>(length), block));
        pending_length_ = length;
    }

    size_t total = 4 + size_t(length);
    size_t still = clear_length ? total : total - block;  // bytes of the packet not yet taken
    if (input_.size() < still + mac_length) return ReadStatus::kNone;

    const uint8_t* in = input_.data();
    uint8_t expected[EVP_MAX_MD_SIZE];
    if (clear_length) {
        if (aead) {
            incoming_.clear();
            incoming_.put_bytes(in, total);
            uint8_t* p = incoming_.mutable_data();
            if (!skip_mac_check_ && d.cipher->open(d.sequence, p, total, in + total) != 0) {
                return bad("message authentication code incorrect");
            }
        } else {
            if (!skip_mac_check_ && (d.mac->compute(d.sequence, in, total, expected) != 0 ||
                                     CRYPTO_memcmp(expected, in + total, mac_length) != 0))
                return bad("message authentication code incorrect");
            incoming_.clear();
            incoming_.put_bytes(in, total);
            if (d.cipher->crypt(incoming_.mutable_data() + 4, total - 4) != 0)
                return bad("decryption failed");
        }
    } else {
        size_t before = incoming_.size();
        incoming_.put_bytes(in, still);
        if (d.cipher->crypt(incoming_.mutable_data() + before, still) != 0) return bad("decryption failed");
        if (d.mac && !skip_mac_check_ &&
            (d.mac->compute(d.sequence, incoming_.data(), total, expected) != 0 ||
             CRYPTO_memcmp(expected, in + still, mac_length) != 0))
            return bad("message authentication code incorrect");
    }
    input_.consume(still + mac_length);
    pending_length_ = 0;
    if (!incoming_.ok() || incoming_.size() != total) return bad("packet buffer failure");

    last_read_sequence_ = d.sequence;
    count(d, total);
    if (d.packets == 0 && !no_packet_limit_) return bad("receive packet counter wrapped");

    const uint8_t* packet = incoming_.data();
    size_t padding = packet[4];
    if (padding < 4) return bad(format("padding of %zu bytes is too short", padding));
    if (padding + 1 >= length) return bad(format("padding of %zu bytes leaves no payload", padding));
    const uint8_t* body = packet + 5;
    size_t body_length = length - padding - 1;
    payload.clear();
    if (d.compress) {
        std::string cause;
        if (inflater_.decompress(body, body_length, payload, kMaxInflatedPayload, cause) != 0)
            return bad(cause);
    } else {
        payload.put_bytes(body, body_length);
    }
    incoming_.clear();
    if (payload.empty()) return bad("empty payload");
    if (!payload.ok()) return bad("payload too large");
    return ReadStatus::kPacket;
}

void SshTransport::set_pending_keys(bool send_direction, SshDirectionKeys keys) {
    Direction& d = send_direction ? send_ : receive_;
    d.pending = std::make_unique<SshDirectionKeys>(std::move(keys));
}

int SshTransport::activate(Direction& d, bool send_direction, bool reset_sequence) {
    if (!d.pending || !d.pending->cipher) {
        error_text_ = "new keys taken into use before they were made";
        (send_direction ? failed_ : read_failed_) = true;
        return 1;
    }
    d.keys = std::move(*d.pending);
    d.pending.reset();
    // The old contexts go (and wipe their schedules) as the new ones come.
    d.cipher = std::make_unique<PacketCipher>();
    d.mac.reset();
    if (d.cipher->init(*d.keys.cipher, d.keys.key, d.keys.iv, send_direction, error_text_) != 0) {
        (send_direction ? failed_ : read_failed_) = true;
        return 1;
    }
    if (d.keys.mac && !is_aead(*d.keys.cipher)) {
        d.mac = std::make_unique<PacketMac>();
        if (d.mac->init(*d.keys.mac, d.keys.mac_key, error_text_) != 0) {
            (send_direction ? failed_ : read_failed_) = true;
            return 1;
        }
    }
    d.compress = d.keys.compression == CompressionKind::kZlib ||
                 (d.keys.compression == CompressionKind::kZlibDelayed && authenticated_);
    d.blocks = 0;
    d.bytes_since_keys = 0;
    d.packets_since_keys = 0;
    if (reset_sequence) d.sequence = 0;
    return 0;
}

int SshTransport::activate_send_keys(bool reset_sequence) {
    return activate(send_, true, reset_sequence);
}

int SshTransport::activate_receive_keys(bool reset_sequence) {
    return activate(receive_, false, reset_sequence);
}

void SshTransport::start_delayed_compression() {
    authenticated_ = true;
    for (Direction* d : {&send_, &receive_})
        if (d->keys.compression == CompressionKind::kZlibDelayed) d->compress = true;
}

bool SshTransport::compressing(bool send_direction) const {
    return (send_direction ? send_ : receive_).compress;
}

bool SshTransport::rekey_due() const {
    for (const Direction* d : {&send_, &receive_}) {
        const SshCipherSpec& c = *d->keys.cipher;
        if (c.kind == CipherKind::kNone) continue;
        uint64_t limit = small_block(c) ? kRekeyBytesSmallBlock : kRekeyBytesLargeBlock;
        if (rekey_byte_limit_ != kRekeyBytesSmallBlock) limit = rekey_byte_limit_;
        if (d->bytes_since_keys >= limit || d->packets_since_keys >= kRekeyPackets) return true;
    }
    return false;
}

}  // namespace orvane::ssh
