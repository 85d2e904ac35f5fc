// The binary packet protocol of RFC 4253 (with OpenSSH's encrypt-then-MAC and AEAD variants):
// framing, padding, encryption, MAC, compression, sequence numbers and limits. It knows nothing
// of key exchange: the session hands it each direction's keys and says when they take effect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "client/ssh/ssh_algorithms.h"
#include "client/ssh/ssh_buffer.h"
#include "client/ssh/ssh_cipher.h"
#include "client/ssh/ssh_compress.h"

namespace orvane::ssh {

// The longest packet-length field accepted (a packet of 262,144 bytes after its length field).
inline constexpr uint32_t kMaxPacketLength = 0x40000;
// Payload bytes a compressed packet may inflate to.
inline constexpr size_t kMaxInflatedPayload = kMaxPacketLength;
// Bytes held back while a key exchange runs, before the session gives up.
inline constexpr size_t kHeldBackLimit = 1u << 20;
// Data under one key of a 64-bit block cipher before we re-key (RFC 4344: a gigabyte).
inline constexpr uint64_t kRekeyBytesSmallBlock = uint64_t(1) << 30;
// Blocks under one key of a 128-bit block cipher before we re-key (RFC 4344: 2^(L/4)).
inline constexpr uint64_t kRekeyBlocksLargeBlock = uint64_t(1) << 32;
// Packets under one key before we re-key (RFC 4344: the sequence number must never repeat).
inline constexpr uint64_t kRekeyPackets = uint64_t(1) << 31;

// One direction's keys, made by the key exchange. Secrets are wiped when the record goes.
struct SshDirectionKeys {
    SshDirectionKeys() = default;
    SshDirectionKeys(SshDirectionKeys&&) = default;
    SshDirectionKeys& operator=(SshDirectionKeys&&) = default;
    ~SshDirectionKeys();

    const SshCipherSpec* cipher = nullptr;
    std::string key;
    std::string iv;
    const SshMacSpec* mac = nullptr;  // null with an AEAD cipher
    std::string mac_key;
    CompressionKind compression = CompressionKind::kNone;
};

enum class ReadStatus { kNone, kPacket, kBad };

class SshTransport {
  public:
    SshTransport();
    ~SshTransport();
    SshTransport(const SshTransport&) = delete;
    SshTransport& operator=(const SshTransport&) = delete;

    // Raw bytes from the peer (the session fills it) and packets for the peer (it drains it).
    SshBuffer& input() { return input_; }
    SshBuffer& output() { return output_; }

    // Sends one payload (its first byte is the message number). While a key exchange is in
    // progress, messages 0 and 50 and above are held back until it ends. 0 on success; 1 when
    // the packet could not be made (error_text() says why; the transport is then failed).
    int send(std::string_view payload);
    // The next packet sent gets extra padding to a multiple of `bytes` (hides a password's length).
    void request_extra_padding(size_t bytes) { extra_padding_ = bytes; }
    // Marks a key exchange as running (our KEXINIT sent) or over; ending it sends what was held.
    int set_kex_in_progress(bool running);
    bool kex_in_progress() const { return kex_in_progress_; }
    // Drops (and wipes) what was held back: the session is ending.
    void discard_held();

    // Reads the next packet's payload from input(): kNone while more bytes are needed (the
    // partial packet waits inside), kBad for a packet that breaks the protocol.
    ReadStatus read(SshBuffer& payload);
    // The sequence number of the packet read last.
    uint32_t last_read_sequence() const { return last_read_sequence_; }

    // Keys that take effect at the next NEWKEYS in their direction.
    void set_pending_keys(bool send_direction, SshDirectionKeys keys);
    // NEWKEYS sent / received: the pending keys take effect. With `reset_sequence` (strict key
    // exchange) the direction's sequence number starts again at 0. 0 on success.
    int activate_send_keys(bool reset_sequence);
    int activate_receive_keys(bool reset_sequence);
    // User authentication succeeded: "zlib@openssh.com" starts in the directions that chose it.
    void start_delayed_compression();
    bool compressing(bool send_direction) const;

    // Our re-key limits: true once either direction has carried as much under its keys as
    // RFC 4344 allows. A test may lower the byte limit.
    bool rekey_due() const;
    void set_rekey_byte_limit(uint64_t bytes) { rekey_byte_limit_ = bytes; }

    // Peers with kNoPacketLimit may wrap the receive packet counter.
    void set_no_packet_limit(bool on) { no_packet_limit_ = on; }
    // Fuzzing only: accept any MAC or tag.
    void set_skip_mac_check(bool on) { skip_mac_check_ = on; }

    const std::string& error_text() const { return error_text_; }
    uint32_t send_sequence() const { return send_.sequence; }
    uint32_t receive_sequence() const { return receive_.sequence; }

  private:
    struct Direction {
        SshDirectionKeys keys;  // in use; cipher "none" until the first NEWKEYS
        std::unique_ptr<SshDirectionKeys> pending;
        std::unique_ptr<PacketCipher> cipher;
        std::unique_ptr<PacketMac> mac;
        uint32_t sequence = 0;
        uint32_t packets = 0;  // the designed packet counter
        uint64_t blocks = 0;
        uint64_t bytes_since_keys = 0;  // for our re-key limits
        uint64_t packets_since_keys = 0;
        bool compress = false;
    };
    int activate(Direction& d, bool send_direction, bool reset_sequence);
    int emit(std::string_view payload);
    ReadStatus bad(std::string cause);
    size_t block_size(const Direction& d) const;
    void count(Direction& d, size_t packet_bytes);

    SshBuffer input_;
    SshBuffer output_;
    SshBuffer incoming_;  // the packet being read, decrypted
    SshBuffer outgoing_;  // the packet being made
    Direction send_;
    Direction receive_;
    Deflater deflater_;
    Inflater inflater_;
    std::deque<std::string> held_;  // wiped when sent or dropped
    size_t held_bytes_ = 0;
    bool kex_in_progress_ = false;
    size_t extra_padding_ = 0;
    uint32_t pending_length_ = 0;  // length of the packet whose first block was read; 0: none
    uint32_t last_read_sequence_ = 0;
    uint64_t rekey_byte_limit_ = kRekeyBytesSmallBlock;
    bool no_packet_limit_ = false;
    bool skip_mac_check_ = false;
    bool authenticated_ = false;
    bool failed_ = false;       // sending broke: nothing more goes out
    bool read_failed_ = false;  // a bad packet arrived: nothing more is read
    std::string error_text_;
};

}  // namespace orvane::ssh
