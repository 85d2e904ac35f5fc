// The session channel (RFC 4254): after login it opens one "session" channel, starts the "sftp"
// subsystem on it and carries the session's application queues as channel data, with flow
// control both ways. It is the connection service behind the authentication layer.
#pragma once

#include <cstdint>
#include <memory>

#include "client/ssh/ssh_session.h"

namespace orvane::ssh {

// Channel states; opening and open keep the designed numbers.
enum class ChannelState : uint8_t { kOpening = 3, kOpen = 4, kClosed = 5 };
const char* channel_state_name(ChannelState s);

inline constexpr uint32_t kChannelWindow = 2u << 20;  // what the server may send ahead (2 MiB)
inline constexpr uint32_t kChannelMaxPacket = 32768;  // our announced maximum packet

// Called on every state change (a debugging trace).
struct ChannelTrace {
    void (*function)(void* context, ChannelState from, ChannelState to) = nullptr;
    void* context = nullptr;
};

// The channel of one session, as its connection service: `start` opens the channel, `message`
// takes messages 80 to 127, `pump` returns window and sends application output.
std::unique_ptr<SshService> make_channel_service(SshSession& session, ChannelTrace trace = {});
// The same as an SshServiceMaker.
std::unique_ptr<SshService> make_channel_service_of_parts(SshSession& session);

}  // namespace orvane::ssh
