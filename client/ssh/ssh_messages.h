// SSH-2 message numbers (RFC 4250 section 4.1 and the key-exchange RFCs), one table for every layer.
#pragma once

#include <cstdint>

namespace orvane::ssh::msg {

enum Number : uint8_t {
    kDisconnect = 1,
    kIgnore = 2,
    kUnimplemented = 3,
    kDebug = 4,
    kServiceRequest = 5,
    kServiceAccept = 6,
    kExtInfo = 7,
    kKexInit = 20,
    kNewKeys = 21,
    // The key-exchange methods share 30 to 49; a number means what the running method says.
    kKexdhInit = 30,   // also ECDH_INIT and the old group-exchange request
    kKexdhReply = 31,  // also ECDH_REPLY and GEX_GROUP
    kGexInit = 32,
    kGexReply = 33,
    kGexRequest = 34,
    kUserauthRequest = 50,
    kUserauthFailure = 51,
    kUserauthSuccess = 52,
    kUserauthBanner = 53,
    kUserauthSixty = 60,  // PK_OK, PASSWD_CHANGEREQ or INFO_REQUEST, by the method asked
    kUserauthInfoResponse = 61,
    kGlobalRequest = 80,
    kRequestSuccess = 81,
    kRequestFailure = 82,
    kChannelOpen = 90,
    kChannelOpenConfirmation = 91,
    kChannelOpenFailure = 92,
    kChannelWindowAdjust = 93,
    kChannelData = 94,
    kChannelExtendedData = 95,
    kChannelEof = 96,
    kChannelClose = 97,
    kChannelRequest = 98,
    kChannelSuccess = 99,
    kChannelFailure = 100,
};

// The ranges each layer owns.
inline constexpr uint8_t kKexMethodFirst = 30;
inline constexpr uint8_t kKexMethodLast = 49;
inline constexpr uint8_t kUserauthFirst = 50;
inline constexpr uint8_t kUserauthLast = 79;
inline constexpr uint8_t kConnectionFirst = 80;
inline constexpr uint8_t kConnectionLast = 127;

}  // namespace orvane::ssh::msg
